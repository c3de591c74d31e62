// One table describes each tool: tools/list builds its JSON Schema from the
// table, and tools/call checks the arguments against the same table, so what
// an assistant is told and what the server accepts cannot drift apart.
#include "mcp_tools.h"

#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "json_doc.h"
#include "sqlr_handle.h"

namespace kestrova_cli {
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
  RpcReply (*run)(int32_t handle, const Args& args, yyjson_mut_doc* doc);
};

// ---- results

// {"type":"text","text":`text`}, the text copied into `doc`.
yyjson_mut_val* text_content(yyjson_mut_doc* doc, std::string_view text) {
  yyjson_mut_val* item = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_str(doc, item, "type", "text");
  yyjson_mut_obj_add_strncpy(doc, item, "text", text.data(), text.size());
  return item;
}

// A tool result with one text content per entry of `texts`.
RpcReply tool_result(yyjson_mut_doc* doc, std::initializer_list<std::string_view> texts,
                     bool is_error) {
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* content = yyjson_mut_obj_add_arr(doc, result, "content");
  for (std::string_view text : texts) {
    if (!text.empty()) yyjson_mut_arr_append(content, text_content(doc, text));
  }
  if (is_error) yyjson_mut_obj_add_bool(doc, result, "isError", true);
  return RpcReply::ok(result);
}

// The library's refusal or failure as a tool result the assistant can read.
RpcReply library_error(yyjson_mut_doc* doc) {
  return tool_result(doc, {valid_utf8(last_error())}, true);
}

// A result string of the library as the tool's one text, or its failure.
RpcReply library_text(yyjson_mut_doc* doc, const Result& text) {
  if (text == nullptr) return library_error(doc);
  return tool_result(doc, {text.get()}, false);
}

// ---- the tools

RpcReply run_list_tables(int32_t handle, const Args&, yyjson_mut_doc* doc) {
  return library_text(doc, Result(sqlr_tables(handle)));
}

RpcReply run_describe_table(int32_t handle, const Args& args, yyjson_mut_doc* doc) {
  return library_text(doc, Result(sqlr_schema(handle, args.table.c_str())));
}

// The "returned" count of a page the library wrote; -1 if it cannot be read.
int64_t returned_rows(const char* page) {
  std::string unused;
  const JsonDoc doc = read_json(page, YYJSON_READ_NOFLAG, &unused);
  yyjson_val* returned = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "returned");
  return yyjson_is_int(returned) ? yyjson_get_sint(returned) : -1;
}

// Says where the next page starts when `page` was cut by its limit, or
// nothing when the statement has no more rows. The library keeps no cursor
// and a full page may be the last, so one row past the page is asked for;
// if that fails, the note says rows may follow.
std::string next_page_note(int32_t handle, const Args& args, const char* page) {
  if (args.limit == 0 || returned_rows(page) != args.limit) return {};
  const int64_t next = static_cast<int64_t>(args.offset) + args.limit;
  if (next > INT32_MAX) return {};  // no offset reaches further
  const Result probe(sqlr_query(handle, args.sql.c_str(), static_cast<int32_t>(next), 1));
  if (probe != nullptr && returned_rows(probe.get()) == 0) return {};
  const std::string offset = std::to_string(next);
  return std::string(probe != nullptr ? "More rows follow" : "More rows may follow") +
         ": the next page starts at offset " + offset +
         " (call read_query again with \"offset\": " + offset + ").";
}

RpcReply run_read_query(int32_t handle, const Args& args, yyjson_mut_doc* doc) {
  const Result page(sqlr_query(handle, args.sql.c_str(), args.offset, args.limit));
  if (page == nullptr) return library_error(doc);
  return tool_result(doc, {page.get(), next_page_note(handle, args, page.get())}, false);
}

RpcReply run_write_query(int32_t handle, const Args& args, yyjson_mut_doc* doc) {
  const int32_t changed = sqlr_exec(handle, args.sql.c_str());
  if (changed < 0) return library_error(doc);
  return tool_result(doc, {changed_rows_json(changed)}, false);
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

const ToolDef kTools[] = {
    {"list_tables",
     "List tables",
     "Lists the tables and views of the SQLite database as a JSON array of names.",
     true,
     {},
     run_list_tables},
    {"describe_table", "Describe a table",
     "Describes the columns of one table or view as JSON: "
     "{\"name\",\"type\",\"columns\":[{\"cid\",\"name\",\"type\",\"notnull\",\"dflt_value\","
     "\"pk\"}]}.",
     true, kTableArgs, run_describe_table},
    {"read_query", "Run a read-only query",
     "Runs one read-only SQL statement and returns one page of its rows as JSON: "
     "{\"columns\":[...],\"rows\":[{column: value}],\"offset\":N,\"limit\":N,\"returned\":N}. "
     "BLOBs come as Base64 text. Statements that could write, PRAGMA, ATTACH and a second "
     "statement are refused. When the page is full and more rows follow, a second text says "
     "at which offset the next page starts.",
     true, kReadArgs, run_read_query},
    {"write_query", "Change rows",
     "Runs one UPDATE or DELETE statement and returns {\"changed\":N}, the number of rows it "
     "changed. INSERT, schema changes, PRAGMA, ATTACH and transactions are refused.",
     false, kWriteArgs, run_write_query},
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
  if (arguments != nullptr && !yyjson_is_obj(arguments)) {
    return RpcReply::error(kRpcInvalidParams, "arguments must be an object");
  }
  for (const auto& arg : tool.args) {
    if (arg.number != nullptr) out->*arg.number = arg.fallback;
  }
  yyjson_obj_iter it = yyjson_obj_iter_with(arguments);
  while (yyjson_val* key = yyjson_obj_iter_next(&it)) {
    const std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    const ArgDef* arg = find_arg(tool, name);
    if (arg == nullptr) {
      return RpcReply::error(kRpcInvalidParams,
                             "unknown argument '" + std::string(name) + "'" + where);
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
RpcReply list_tools(yyjson_mut_doc* doc, bool writable) {
  yyjson_mut_val* result = yyjson_mut_obj(doc);
  yyjson_mut_val* tools = yyjson_mut_obj_add_arr(doc, result, "tools");
  for (const auto& tool : kTools) {
    if (!tool.read_only && !writable) continue;
    yyjson_mut_val* item = yyjson_mut_arr_add_obj(doc, tools);
    yyjson_mut_obj_add_str(doc, item, "name", tool.name);
    yyjson_mut_obj_add_str(doc, item, "title", tool.title);
    yyjson_mut_obj_add_str(doc, item, "description", tool.description);
    yyjson_mut_obj_add_val(doc, item, "inputSchema", input_schema(doc, tool));
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
RpcReply call_tool(int32_t handle, bool writable, yyjson_val* params, yyjson_mut_doc* doc) {
  yyjson_val* name = yyjson_obj_get(params, "name");
  if (!yyjson_is_str(name)) {
    return RpcReply::error(kRpcInvalidParams, "tools/call needs the tool's name");
  }
  const std::string_view tool_name(yyjson_get_str(name), yyjson_get_len(name));
  const ToolDef* tool = find_tool(tool_name, writable);
  if (tool == nullptr) {
    std::string why = "unknown tool '" + valid_utf8(tool_name) + "'";
    if (!writable && find_tool(tool_name, true) != nullptr) {
      why += ": the database is open read-only (start the server with --writable)";
    }
    return RpcReply::error(kRpcInvalidParams, why);
  }
  Args args;
  RpcReply checked = read_args(*tool, yyjson_obj_get(params, "arguments"), &args);
  if (checked.error_code != 0) return checked;
  return tool->run(handle, args, doc);
}

}  // namespace kestrova_cli
