// One table describes each tool: tools/list builds its JSON Schema from the
// table, and tools/call checks the arguments against the same table, so what
// an assistant is told and what the server accepts cannot drift apart.
#include "mcp/tools.h"

#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/catalogue.h"
#include "common/json.h"
#include "common/library.h"
#include "mcp/answer.h"
#include "mcp/page.h"

namespace kestrova::tools::mcp {
namespace {

// The arguments of every tool, filled from a call's "arguments".
struct Args {
  std::string table;
  std::string sql;
  int32_t offset = 0;
  int32_t limit = kDefaultToolLimit;
};

// One argument: its JSON type, bounds and where its value goes.
struct ArgDef {
  const char* name;
  const char* description;
  bool required;
  std::string Args::*text;  // a string argument, or null
  int32_t Args::*number;    // an integer argument, or null
  int32_t min, max, fallback;
};

struct ToolDef {
  const char* name;
  const char* title;
  const char* description;
  bool read_only;
  std::span<const ArgDef> args;
  const char* output_schema;  // JSON text
  RpcReply (*run)(const ToolSession& session, int32_t handle, const Args& args,
                  yyjson_mut_doc* doc);
};

// ---- results

// {"type":"text","text":`text`}, the text copied into `doc`.
yyjson_mut_val* text_content(yyjson_mut_doc* doc, std::string_view text) {
  yyjson_mut_val* item = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_str(doc, item, "type", "text");
  yyjson_mut_obj_add_strncpy(doc, item, "text", text.data(), text.size());
  return item;
}

// A tool result with one text content per entry of `texts`, and, when the
// session takes it, `structured` (JSON text of an object, written as it is)
// as its structuredContent.
RpcReply tool_result(const ToolSession& session, yyjson_mut_doc* doc,
                     std::initializer_list<std::string_view> texts, std::string_view structured,
                     bool is_error) {
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* content = yyjson_mut_obj_add_arr(doc, result, "content");
  for (std::string_view text : texts) {
    if (!text.empty()) yyjson_mut_arr_append(content, text_content(doc, text));
  }
  if (session.structured && !structured.empty()) {
    yyjson_mut_obj_add_val(doc, result, "structuredContent",
                           yyjson_mut_rawncpy(doc, structured.data(), structured.size()));
  }
  if (is_error) yyjson_mut_obj_add_bool(doc, result, "isError", true);
  return RpcReply::ok(result);
}

// A tool error the assistant can read.
RpcReply tool_error(const ToolSession& session, yyjson_mut_doc* doc, std::string_view message) {
  return tool_result(session, doc, {valid_utf8(message)}, {}, true);
}

// The budget of the session's answers.
ResultBudget budget_of(const ToolSession& session) {
  return {session.max_result_bytes, session.structured};
}

// A document as the tool's one text (and its structured content, which is
// `structured` or else the document itself), unless it cannot fit the budget.
RpcReply document_result(const ToolSession& session, yyjson_mut_doc* doc, const std::string& json,
                         std::string_view structured, const char* how_to_narrow) {
  const size_t bytes = budget_of(session).cost(json) + kResultOverhead;
  if (bytes > session.max_result_bytes) {
    return tool_error(session, doc,
                      "the answer would take " + std::to_string(bytes) +
                          " bytes, more than the limit of " +
                          std::to_string(session.max_result_bytes) + " bytes: " + how_to_narrow);
  }
  return tool_result(session, doc, {json}, structured.empty() ? json : structured, false);
}

// ---- the tools

RpcReply run_list_tables(const ToolSession& session, int32_t, const Args&, yyjson_mut_doc* doc) {
  std::string why;
  Catalogue* catalogue = session.db->catalogue(&why);
  if (catalogue == nullptr) return tool_error(session, doc, why);
  std::vector<CatalogueEntry> entries;
  CatalogueError error;
  if (!catalogue->list(&entries, &error)) return tool_error(session, doc, error.message);
  // Shadow and internal tables stay readable by name, but are not offered.
  const BuiltDoc names(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* arr = yyjson_mut_arr(names.get());
  yyjson_mut_doc_set_root(names.get(), arr);
  for (const CatalogueEntry& e : entries) {
    if (!e.hidden) yyjson_mut_arr_add_strncpy(names.get(), arr, e.name.data(), e.name.size());
  }
  std::string json;
  if (!write_json(names.get(), YYJSON_WRITE_NOFLAG, &json, &why)) {
    return tool_error(session, doc, why);
  }
  return document_result(session, doc, json, "{\"tables\":" + json + "}",
                         "read the names page by page with read_query: SELECT name FROM "
                         "sqlite_master WHERE type IN ('table','view') ORDER BY name");
}

RpcReply run_describe_table(const ToolSession& session, int32_t, const Args& args,
                            yyjson_mut_doc* doc) {
  std::string json, why;
  Catalogue* catalogue = session.db->catalogue(&why);
  if (catalogue == nullptr) return tool_error(session, doc, why);
  CatalogueError error;
  if (!catalogue->describe_json(args.table, &json, &error)) {
    return tool_error(session, doc, error.message);
  }
  return document_result(session, doc, json, {},
                         "read the columns page by page with read_query: SELECT * FROM "
                         "pragma_table_info('table name')");
}

// Says where the next page starts, or nothing when the statement has no more
// rows.
std::string next_page_note(const AnswerPage& page, size_t max_bytes) {
  if (!page.more) return {};
  if (page.next_offset > INT32_MAX) {
    return "More rows follow, past the largest offset read_query takes (" +
           std::to_string(INT32_MAX) + ").";
  }
  const std::string offset = std::to_string(page.next_offset);
  std::string note = "More rows follow: ";
  if (page.cut) {
    note += "this page stops after " + std::to_string(page.returned) +
            " rows to keep the answer within " + std::to_string(max_bytes) + " bytes; ";
  }
  return note + "the next page starts at offset " + offset +
         " (call read_query again with \"offset\": " + offset + ").";
}

RpcReply run_read_query(const ToolSession& session, int32_t handle, const Args& args,
                        yyjson_mut_doc* doc) {
  AnswerPage page;
  std::string why;
  if (!read_page(handle, args.sql, args.offset, args.limit, budget_of(session), &page, &why)) {
    return tool_error(session, doc, why);
  }
  const bool has_next = page.more && page.next_offset <= INT32_MAX;
  std::string structured;
  if (session.structured) {
    // The page as an object, with whether more rows follow and where the next
    // page starts (null when none follow, or past the largest offset).
    structured.reserve(page.json.size() + 48);
    structured.append(page.json, 0, page.json.size() - 1);
    structured += page.more ? ",\"more\":true" : ",\"more\":false";
    structured += ",\"next_offset\":";
    structured += has_next ? std::to_string(page.next_offset) : "null";
    structured += "}";
  }
  return tool_result(session, doc, {page.json, next_page_note(page, session.max_result_bytes)},
                     structured, false);
}

RpcReply run_write_query(const ToolSession& session, int32_t handle, const Args& args,
                         yyjson_mut_doc* doc) {
  const int32_t changed = sqlr_exec(handle, args.sql.c_str());
  if (changed < 0) return tool_error(session, doc, last_error());
  const std::string json = changed_rows_json(changed);
  return tool_result(session, doc, {json}, json, false);
}

constexpr ArgDef kTableArgs[] = {
    {"table", "Name of the table or view, exactly as list_tables gives it.", true, &Args::table,
     nullptr, 0, 0, 0},
};

constexpr ArgDef kReadArgs[] = {
    {"sql",
     "One read-only SQLite statement: SELECT, VALUES, WITH ... SELECT or EXPLAIN. Use ORDER BY "
     "for a stable order across pages.",
     true, &Args::sql, nullptr, 0, 0, 0},
    {"offset", "Rows of the result to pass over before the page starts.", false, nullptr,
     &Args::offset, 0, INT32_MAX, 0},
    {"limit", "Most rows in the page.", false, nullptr, &Args::limit, 0, SQLR_MAX_PAGE_ROWS,
     kDefaultToolLimit},
};

constexpr ArgDef kWriteArgs[] = {
    {"sql", "One UPDATE or DELETE statement (optionally introduced by WITH).", true, &Args::sql,
     nullptr, 0, 0, 0},
};

// The JSON Schemas of the tools' structured results.
constexpr const char kTablesSchema[] =
    R"({"type":"object","properties":{"tables":{"type":"array","items":{"type":"string"}}},)"
    R"("required":["tables"]})";

constexpr const char kDescriptionSchema[] =
    R"({"type":"object","properties":{"name":{"type":"string"},"type":{"type":"string"},)"
    R"("kind":{"type":"string","enum":["table","view","virtual","shadow","internal"]},)"
    R"("module":{"type":["string","null"]},"hidden":{"type":"boolean"},)"
    R"("columns":{"type":"array","items":{"type":"object","properties":{)"
    R"("cid":{"type":"integer"},"name":{"type":"string"},"type":{"type":"string"},)"
    R"("notnull":{"type":"integer"},"dflt_value":{"type":["string","null"]},)"
    R"("pk":{"type":"integer"},"generated":{"type":"string","enum":["virtual","stored"]}},)"
    R"("required":["cid","name","type","notnull","dflt_value","pk"]}},)"
    R"("indexes":{"type":"array","items":{"type":"object","properties":{)"
    R"("name":{"type":"string"},"unique":{"type":"integer"},"origin":{"type":"string"},)"
    R"("partial":{"type":"integer"},"columns":{"type":"array","items":{"type":["string","null"]}}},)"
    R"("required":["name","unique","origin","partial","columns"]}},)"
    R"("foreign_keys":{"type":"array","items":{"type":"object","properties":{)"
    R"("id":{"type":"integer"},"table":{"type":"string"},)"
    R"("from":{"type":"array","items":{"type":["string","null"]}},)"
    R"("to":{"type":"array","items":{"type":["string","null"]}},)"
    R"("on_update":{"type":"string"},"on_delete":{"type":"string"},"match":{"type":"string"}},)"
    R"("required":["id","table","from","to","on_update","on_delete","match"]}},)"
    R"("referenced_by":{"type":"array","items":{"type":"object","properties":{)"
    R"("table":{"type":"string"},"id":{"type":"integer"},)"
    R"("from":{"type":"array","items":{"type":["string","null"]}},)"
    R"("to":{"type":"array","items":{"type":["string","null"]}},)"
    R"("on_update":{"type":"string"},"on_delete":{"type":"string"},"match":{"type":"string"}},)"
    R"("required":["table","id","from","to","on_update","on_delete","match"]}},)"
    R"("triggers":{"type":"array","items":{"type":"object","properties":{)"
    R"("name":{"type":"string"},"sql":{"type":["string","null"]}},"required":["name","sql"]}},)"
    R"("sql":{"type":["string","null"]}},)"
    R"("required":["name","type","kind","module","hidden","columns","indexes","foreign_keys",)"
    R"("referenced_by","triggers","sql"]})";

constexpr const char kPageSchema[] =
    R"({"type":"object","properties":{"columns":{"type":"array","items":{"type":"string"}},)"
    R"("rows":{"type":"array","items":{"type":"object"}},"offset":{"type":"integer"},)"
    R"("limit":{"type":"integer"},"returned":{"type":"integer"},)"
    R"("more":{"type":"boolean","description":"Whether rows follow this page: returned )"
    R"(counts the page, not the result."},)"
    R"("next_offset":{"type":["integer","null"],"description":"Where the next page starts; )"
    R"(null when no rows follow."}},)"
    R"("required":["columns","rows","offset","limit","returned","more","next_offset"]})";

constexpr const char kChangedSchema[] =
    R"({"type":"object","properties":{"changed":{"type":"integer"}},"required":["changed"]})";

const ToolDef kTools[] = {
    {"list_tables",
     "List tables",
     "Lists the tables and views of the SQLite database as a JSON array of names.",
     true,
     {},
     kTablesSchema,
     run_list_tables},
    {"describe_table", "Describe a table",
     "Describes one table or view as JSON: its kind (table, view, virtual with its module, "
     "shadow, internal), its columns "
     "{\"cid\",\"name\",\"type\",\"notnull\",\"dflt_value\",\"pk\"} (with \"generated\" on "
     "generated ones), its indexes {\"name\",\"unique\",\"origin\",\"partial\",\"columns\"}, "
     "its foreign keys {\"id\",\"table\",\"from\",\"to\",\"on_update\",\"on_delete\","
     "\"match\"} (\"to\" null: the parent's primary key), the keys of other tables that "
     "reference it (\"referenced_by\"), its triggers and its CREATE text, for writing joins.",
     true, kTableArgs, kDescriptionSchema, run_describe_table},
    {"read_query", "Run a read-only query",
     "Runs one read-only SQL statement and returns one page of its rows as JSON: "
     "{\"columns\":[...],\"rows\":[{column: value}],\"offset\":N,\"limit\":N,\"returned\":N}. "
     "BLOBs come as Base64 text. Statements that could write, PRAGMA, ATTACH and a second "
     "statement are refused. A page also stops early, at a row boundary, to keep the answer "
     "within the server's size limit. When more rows follow, a second text (and more and "
     "next_offset) says so and at which offset the next page starts.",
     true, kReadArgs, kPageSchema, run_read_query},
    {"write_query", "Change rows",
     "Runs one UPDATE or DELETE statement and returns {\"changed\":N}, the number of rows it "
     "changed. INSERT, schema changes, PRAGMA, ATTACH and transactions are refused.",
     false, kWriteArgs, kChangedSchema, run_write_query},
};

// The tool called `name` that this server offers, or null.
const ToolDef* find_tool(std::string_view name, bool writable) {
  for (const auto& tool : kTools) {
    if (name == tool.name && (tool.read_only || writable)) return &tool;
  }
  return nullptr;
}

// ---- schemas and argument checks

// The JSON Schema of a tool's arguments.
yyjson_mut_val* input_schema(yyjson_mut_doc* doc, const ToolDef& tool) {
  yyjson_mut_val* schema = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_str(doc, schema, "type", "object");
  yyjson_mut_val* properties = yyjson_mut_obj_add_obj(doc, schema, "properties");
  yyjson_mut_val* required = yyjson_mut_arr(doc);
  for (const auto& arg : tool.args) {
    yyjson_mut_val* prop = yyjson_mut_obj_add_obj(doc, properties, arg.name);
    yyjson_mut_obj_add_str(doc, prop, "type", arg.text != nullptr ? "string" : "integer");
    yyjson_mut_obj_add_str(doc, prop, "description", arg.description);
    if (arg.number != nullptr) {
      yyjson_mut_obj_add_int(doc, prop, "minimum", arg.min);
      yyjson_mut_obj_add_int(doc, prop, "maximum", arg.max);
      yyjson_mut_obj_add_int(doc, prop, "default", arg.fallback);
    } else {
      yyjson_mut_obj_add_int(doc, prop, "minLength", 1);
    }
    if (arg.required) yyjson_mut_arr_add_str(doc, required, arg.name);
  }
  if (yyjson_mut_arr_size(required) > 0) yyjson_mut_obj_add_val(doc, schema, "required", required);
  yyjson_mut_obj_add_bool(doc, schema, "additionalProperties", false);
  return schema;
}

// The argument called `name` of `tool`, or null.
const ArgDef* find_arg(const ToolDef& tool, std::string_view name) {
  for (const auto& arg : tool.args) {
    if (name == arg.name) return &arg;
  }
  return nullptr;
}

// Reads `value` as a whole number within the argument's bounds. A real with no
// fraction counts, as JSON Schema's "integer" has it.
bool whole_number(yyjson_val* value, const ArgDef& arg, int32_t* out) {
  double v = 0;
  if (yyjson_is_sint(value)) {
    v = static_cast<double>(yyjson_get_sint(value));
  } else if (yyjson_is_uint(value)) {
    v = static_cast<double>(yyjson_get_uint(value));
  } else if (yyjson_is_real(value)) {
    v = yyjson_get_real(value);
  } else {
    return false;
  }
  if (!(v >= arg.min && v <= arg.max) || v != static_cast<double>(static_cast<int64_t>(v))) {
    return false;
  }
  *out = static_cast<int32_t>(v);
  return true;
}

// Fills `out` from a call's "arguments" (null when the call gave none).
RpcReply read_args(const ToolDef& tool, yyjson_val* arguments, Args* out) {
  const std::string where = std::string(" of tool ") + tool.name;
  for (const auto& arg : tool.args) {
    if (arg.number != nullptr) out->*arg.number = arg.fallback;
  }
  yyjson_obj_iter it = yyjson_obj_iter_with(arguments);
  while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
    const std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    const ArgDef* arg = find_arg(tool, name);
    if (arg == nullptr) {
      return RpcReply::error(kRpcInvalidParams, "unknown argument '" + quoted(name) + "'" + where);
    }
    yyjson_val* value = yyjson_obj_iter_get_val(key);
    const std::string what = std::string("argument '") + arg->name + "'" + where;
    if (arg->text != nullptr) {
      // The library reads text up to its first NUL: text after one would be
      // silently dropped, so it is refused.
      if (!yyjson_is_str(value) || yyjson_get_len(value) == 0 ||
          std::memchr(yyjson_get_str(value), '\0', yyjson_get_len(value)) != nullptr) {
        return RpcReply::error(kRpcInvalidParams,
                               what + " must be a non-empty string without NUL characters");
      }
      (out->*arg->text).assign(yyjson_get_str(value), yyjson_get_len(value));
    } else if (!whole_number(value, *arg, &(out->*arg->number))) {
      return RpcReply::error(kRpcInvalidParams, what + " must be a whole number from " +
                                                    std::to_string(arg->min) + " to " +
                                                    std::to_string(arg->max));
    }
  }
  for (const auto& arg : tool.args) {
    if (arg.required && yyjson_obj_getn(arguments, arg.name, std::strlen(arg.name)) == nullptr) {
      return RpcReply::error(kRpcInvalidParams,
                             std::string("missing argument '") + arg.name + "'" + where);
    }
  }
  return RpcReply::ok(nullptr);
}

}  // namespace

// See mcp_tools.h.
RpcReply list_tools(const ToolSession& session, yyjson_mut_doc* doc) {
  const bool writable = session.db->writable();
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* tools = yyjson_mut_obj_add_arr(doc, result, "tools");
  for (const auto& tool : kTools) {
    if (!tool.read_only && !writable) continue;
    yyjson_mut_val* item = yyjson_mut_arr_add_obj(doc, tools);
    yyjson_mut_obj_add_str(doc, item, "name", tool.name);
    yyjson_mut_obj_add_str(doc, item, "title", tool.title);
    yyjson_mut_obj_add_str(doc, item, "description", tool.description);
    yyjson_mut_obj_add_val(doc, item, "inputSchema", input_schema(doc, tool));
    if (session.structured) {
      std::string unused;
      const ParsedDoc schema = read_json(tool.output_schema, YYJSON_READ_NOFLAG, &unused);
      yyjson_mut_obj_add_val(doc, item, "outputSchema",
                             yyjson_val_mut_copy(doc, yyjson_doc_get_root(schema.get())));
    }
    yyjson_mut_val* notes = yyjson_mut_obj_add_obj(doc, item, "annotations");
    yyjson_mut_obj_add_str(doc, notes, "title", tool.title);
    yyjson_mut_obj_add_bool(doc, notes, "readOnlyHint", tool.read_only);
    yyjson_mut_obj_add_bool(doc, notes, "destructiveHint", !tool.read_only);
    yyjson_mut_obj_add_bool(doc, notes, "idempotentHint", tool.read_only);
    yyjson_mut_obj_add_bool(doc, notes, "openWorldHint", false);
  }
  return RpcReply::ok(result);
}

// See mcp_tools.h.
RpcReply call_tool(const ToolSession& session, yyjson_val* params, yyjson_mut_doc* doc) {
  const bool writable = session.db->writable();
  yyjson_val* name = yyjson_obj_get(params, "name");
  if (!yyjson_is_str(name)) {
    return RpcReply::error(kRpcInvalidParams, "tools/call needs the tool's name");
  }
  const std::string_view tool_name(yyjson_get_str(name), yyjson_get_len(name));
  const ToolDef* tool = find_tool(tool_name, writable);
  if (tool == nullptr) {
    std::string why = "unknown tool '" + quoted(tool_name) + "'";
    if (!writable && find_tool(tool_name, true) != nullptr) {
      why += ": the database is open read-only (start the server with --writable)";
    }
    return RpcReply::error(kRpcInvalidParams, why);
  }
  yyjson_val* arguments = yyjson_obj_get(params, "arguments");
  if (arguments != nullptr && !yyjson_is_obj(arguments)) {
    return RpcReply::error(kRpcInvalidParams, "arguments must be an object");
  }
  Args args;
  RpcReply checked = read_args(*tool, arguments, &args);
  if (checked.error_code != 0) {
    if (!session.argument_errors_as_results) return checked;
    return tool_error(session, doc, checked.error_message);
  }
  std::string why;
  const int32_t handle = session.db->handle(&why);
  if (handle < 0) return tool_error(session, doc, why);
  return tool->run(session, handle, args, doc);
}

}  // namespace kestrova::tools::mcp
