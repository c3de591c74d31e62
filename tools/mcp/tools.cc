// One table describes each tool: tools/list builds its JSON Schema from the
// table, and tools/call checks the arguments against the same table, so what
// an assistant is told and what the server accepts cannot drift apart.
#include "mcp/tools.h"

#include <algorithm>
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
#include "mcp/app.h"
#include "mcp/call_params.h"
#include "mcp/cursor.h"
#include "mcp/find_value.h"
#include "mcp/page.h"
#include "mcp/schema_tools.h"

namespace kestrova::tools::mcp {
namespace {

// The arguments of every tool, filled from a call's "arguments".
struct Args {
  std::string table;
  std::string sql;
  int32_t offset = 0;
  int32_t limit = kDefaultToolLimit;
  yyjson_val* params = nullptr;  // an array or object, borrowed from the request; null: none
  std::string shape = "objects";
  int32_t max_cell_chars = 0;
  bool include_hidden = false;
  std::string cursor;
  std::string pattern;
  std::string detail = "names";
  std::string text;
  int32_t limit_per_table = kDefaultFindPerTable;
};

// What JSON an argument takes.
enum class ArgKind { kText, kNumber, kBool, kChoice, kParams };

// One argument: its JSON type, bounds and where its value goes.
struct ArgDef {
  const char* name;
  const char* description;
  bool required;
  ArgKind kind;
  std::string Args::*text;     // kText, kChoice
  int32_t Args::*number;       // kNumber
  int32_t min, max, fallback;  // kNumber; for kText the most bytes (0: no bound but the request's)
  bool Args::*flag = nullptr;  // kBool
  const char* choices = nullptr;  // kChoice: the values, separated by '|', the first the default
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
  // The grid app (mcp/app.h) shows its results.
  bool shows_rows = false;
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

// The session's catalogue, or a tool error in `failure`.
Catalogue* catalogue_of(const ToolSession& session, yyjson_mut_doc* doc, RpcReply* failure) {
  std::string why;
  Catalogue* catalogue = session.db->catalogue(&why);
  if (catalogue == nullptr) *failure = tool_error(session, doc, why);
  return catalogue;
}

RpcReply run_list_tables(const ToolSession& session, int32_t, const Args& args,
                         yyjson_mut_doc* doc) {
  RpcReply failure;
  Catalogue* catalogue = catalogue_of(session, doc, &failure);
  if (catalogue == nullptr) return failure;
  std::string json;
  ToolFailure why;
  if (!list_tables_json(catalogue, args.include_hidden, args.cursor, budget_of(session), &json,
                        &why)) {
    return tool_error(session, doc, why.message);
  }
  return document_result(session, doc, json, {}, "call list_tables again with its next_cursor");
}

RpcReply run_search_schema(const ToolSession& session, int32_t handle, const Args& args,
                           yyjson_mut_doc* doc) {
  RpcReply failure;
  Catalogue* catalogue = catalogue_of(session, doc, &failure);
  if (catalogue == nullptr) return failure;
  const SchemaSearch search{args.pattern, args.detail, args.limit, args.include_hidden,
                            args.cursor};
  std::string json;
  ToolFailure why;
  if (!search_schema_json(catalogue, handle, search, budget_of(session), &json, &why)) {
    return tool_error(session, doc, why.message);
  }
  return document_result(session, doc, json, {}, "ask for a lower detail or a smaller limit");
}

RpcReply run_find_value(const ToolSession& session, int32_t handle, const Args& args,
                        yyjson_mut_doc* doc) {
  RpcReply failure;
  Catalogue* catalogue = catalogue_of(session, doc, &failure);
  if (catalogue == nullptr) return failure;
  const ValueSearch search{args.text, args.limit_per_table, args.max_cell_chars,
                           args.include_hidden, args.cursor};
  std::string json;
  ToolFailure why;
  if (!find_value_json(catalogue, handle, search, budget_of(session), &json, &why)) {
    return tool_error(session, doc, why.message);
  }
  return document_result(session, doc, json, {}, "ask for fewer characters of each value");
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

// Adds each row's storage classes to the read_query result `result` for the
// grid app: "_meta":{"kestrova-sqlr/types":["itn",..]}.
void add_types_meta(yyjson_mut_doc* doc, yyjson_mut_val* result,
                    const std::vector<std::string>& types) {
  yyjson_mut_val* meta = yyjson_mut_obj_add_obj(doc, result, "_meta");
  yyjson_mut_val* list = yyjson_mut_arr(doc);
  yyjson_mut_obj_add(meta, yyjson_mut_strn(doc, kTypesMetaKey.data(), kTypesMetaKey.size()), list);
  for (const std::string& row : types)
    yyjson_mut_arr_add_strncpy(doc, list, row.data(), row.size());
}

RpcReply run_read_query(const ToolSession& session, int32_t handle, const Args& args,
                        yyjson_mut_doc* doc) {
  std::string sql, why;
  if (!put_params(args.sql, args.params, &sql, &why)) return tool_error(session, doc, why);
  AnswerPage page;
  const PageShape shape{args.shape == "arrays", args.max_cell_chars, session.apps};
  if (!read_page(handle, sql, args.offset, args.limit, shape, budget_of(session), &page, &why)) {
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
  RpcReply reply = tool_result(
      session, doc, {page.json, next_page_note(page, session.max_result_bytes)}, structured, false);
  if (!page.types.empty()) add_types_meta(doc, reply.result, page.types);
  return reply;
}

RpcReply run_write_query(const ToolSession& session, int32_t handle, const Args& args,
                         yyjson_mut_doc* doc) {
  std::string sql, why;
  if (!put_params(args.sql, args.params, &sql, &why)) return tool_error(session, doc, why);
  const int32_t changed = sqlr_exec(handle, sql.c_str());
  if (changed < 0) return tool_error(session, doc, last_error());
  const std::string json = changed_rows_json(changed);
  return tool_result(session, doc, {json}, json, false);
}

constexpr ArgDef kTableArgs[] = {
    {"table", "Name of the table or view, exactly as list_tables gives it.", true, ArgKind::kText,
     &Args::table, nullptr, 0, 0, 0},
};

constexpr const char kParamsHelp[] =
    "Values for the statement's parameters: an array for ? and ?NNN (value i for number i+1), "
    "or an object for :name, @name and $name (keys without the sigil; a decimal key for ?NNN). "
    "Values are null, booleans (1 and 0), numbers and strings; the server writes each as an SQL "
    "literal, so no value needs quoting.";

constexpr ArgDef kReadArgs[] = {
    {"sql",
     "One read-only SQLite statement: SELECT, VALUES, WITH ... SELECT or EXPLAIN. Use ORDER BY "
     "for a stable order across pages.",
     true, ArgKind::kText, &Args::sql, nullptr, 0, 0, 0},
    {"offset", "Rows of the result to pass over before the page starts.", false, ArgKind::kNumber,
     nullptr, &Args::offset, 0, INT32_MAX, 0},
    {"limit", "Most rows in the page.", false, ArgKind::kNumber, nullptr, &Args::limit, 0,
     SQLR_MAX_PAGE_ROWS, kDefaultToolLimit},
    {"params", kParamsHelp, false, ArgKind::kParams, nullptr, nullptr, 0, 0, 0},
    {"shape",
     "objects: each row an object {column: value}; arrays: the column names once, each row an "
     "array of values in column order (fewer tokens).",
     false, ArgKind::kChoice, &Args::shape, nullptr, 0, 0, 0, nullptr, "objects|arrays"},
    {"max_cell_chars",
     "Cut every text longer than this many characters, marking the cut with \u2026 and the "
     "value's full length in characters, as \"abc\u2026[12345 chars]\"; 0 keeps every value whole.",
     false, ArgKind::kNumber, nullptr, &Args::max_cell_chars, 0, kMaxCellChars, 0},
};

constexpr ArgDef kWriteArgs[] = {
    {"sql", "One UPDATE or DELETE statement (optionally introduced by WITH).", true, ArgKind::kText,
     &Args::sql, nullptr, 0, 0, 0},
    {"params", kParamsHelp, false, ArgKind::kParams, nullptr, nullptr, 0, 0, 0},
};

constexpr ArgDef kHiddenArg = {
    "include_hidden",
    "Also the tables users do not make: virtual tables' shadow tables and SQLite's own.",
    false,
    ArgKind::kBool,
    nullptr,
    nullptr,
    0,
    0,
    0,
    &Args::include_hidden};

constexpr ArgDef kCursorArg = {"cursor",
                               "The next_cursor of an earlier answer, to go on after it.",
                               false,
                               ArgKind::kText,
                               &Args::cursor,
                               nullptr,
                               0,
                               static_cast<int32_t>(kMaxCursorBytes),
                               0};

constexpr ArgDef kListArgs[] = {kHiddenArg, kCursorArg};

constexpr ArgDef kSearchArgs[] = {
    {"pattern",
     "Text looked for, ignoring ASCII case, in the names of tables and views, their columns, "
     "indexes and triggers. Leave it out to take every table.",
     false, ArgKind::kText, &Args::pattern, nullptr, 0, static_cast<int32_t>(kMaxPatternBytes), 0},
    {"detail",
     "names: each table's name, kind and what matched; summary: also its columns' names and "
     "types and its row count (counted up to 10000, then \"10000+\"); full: also its whole "
     "description, as describe_table gives it.",
     false, ArgKind::kChoice, &Args::detail, nullptr, 0, 0, 0, nullptr, "names|summary|full"},
    {"limit", "Most tables in the answer.", false, ArgKind::kNumber, nullptr, &Args::limit, 1,
     kMaxSearchLimit, kDefaultSearchLimit},
    kHiddenArg,
    kCursorArg,
};

constexpr ArgDef kFindArgs[] = {
    {"text",
     "Text looked for inside the text values of every table (as a substring, ignoring ASCII "
     "case; % and _ are plain characters).",
     true, ArgKind::kText, &Args::text, nullptr, 0, static_cast<int32_t>(kMaxFindTextBytes), 0},
    {"limit_per_table", "Most matching rows reported per table.", false, ArgKind::kNumber, nullptr,
     &Args::limit_per_table, 1, kMaxFindPerTable, kDefaultFindPerTable},
    {"max_cell_chars", "Characters of each value shown, around where the text was found.", false,
     ArgKind::kNumber, nullptr, &Args::max_cell_chars, 8, kMaxCellChars, kDefaultFindChars},
    kHiddenArg,
    kCursorArg,
};

// The JSON Schemas of the tools' structured results.
#define SQLR_ROWS_SCHEMA                                                                    \
  R"("rows":{"type":["integer","string","null"],"description":"Rows counted up to 10000, )" \
  R"(then \"10000+\"; null when the name cannot be read."})"
#define SQLR_CURSOR_SCHEMA                                                 \
  R"("total":{"type":"integer"},"next_cursor":{"type":["string","null"],)" \
  R"("description":"Pass it as cursor to go on; null when the list is complete."})"

constexpr const char kTablesSchema[] =
    R"({"type":"object","properties":{"tables":{"type":"array","items":{"type":"object",)"
    R"("properties":{"name":{"type":"string"},"kind":{"type":"string"},)"
    R"("module":{"type":"string"},)" SQLR_ROWS_SCHEMA
    R"(},"required":["name","kind","rows"]}},)" SQLR_CURSOR_SCHEMA
    R"(},"required":["tables","total","next_cursor"]})";

constexpr const char kSearchSchema[] =
    R"({"type":"object","properties":{"tables":{"type":"array","items":{"type":"object",)"
    R"("properties":{"name":{"type":"string"},"kind":{"type":"string"},)"
    R"("module":{"type":"string"},"matches":{"type":"array","items":{"type":"object",)"
    R"("properties":{"in":{"type":"string","enum":["table","column","index","trigger"]},)"
    R"("name":{"type":"string"}},"required":["in","name"]}},"more_matches":{"type":"integer"},)"
    R"("columns":{"type":"array","items":{"type":"object","properties":{"name":{"type":"string"},)"
    R"("type":{"type":"string"}},"required":["name","type"]}},)" SQLR_ROWS_SCHEMA
    R"(,"description":{"type":"object"},"omitted":{"type":"string"},"error":{"type":"string"}},)"
    R"("required":["name","kind"]}},)" SQLR_CURSOR_SCHEMA
    R"(},"required":["tables","total","next_cursor"]})";

constexpr const char kFoundSchema[] =
    R"({"type":"object","properties":{"found":{"type":"array","items":{"type":"object",)"
    R"("properties":{"table":{"type":"string"},"column":{"type":"string"},)"
    R"("rowid":{"type":["integer","null"]},"key":{"type":"array"},"value":{"type":"string"},)"
    R"("length":{"type":"integer"}},"required":["table","column","value","length"]}},)"
    R"("tables_searched":{"type":"integer"},"tables":{"type":"integer"},)"
    R"("stopped":{"type":["string","null"],"enum":["budget","deadline",null]},)"
    R"("skipped":{"type":"array","items":{"type":"object","properties":{"table":{"type":"string"},)"
    R"("error":{"type":"string"}},"required":["table","error"]}},)"
    R"("next_cursor":{"type":["string","null"]}},)"
    R"("required":["found","tables_searched","tables","stopped","skipped","next_cursor"]})";

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
    R"("rows":{"type":"array","items":{"type":["object","array"]}},"offset":{"type":"integer"},)"
    R"("limit":{"type":"integer"},"returned":{"type":"integer"},)"
    R"("more":{"type":"boolean","description":"Whether rows follow this page: returned )"
    R"(counts the page, not the result."},)"
    R"("next_offset":{"type":["integer","null"],"description":"Where the next page starts; )"
    R"(null when no rows follow."}},)"
    R"("required":["columns","rows","offset","limit","returned","more","next_offset"]})";

constexpr const char kChangedSchema[] =
    R"({"type":"object","properties":{"changed":{"type":"integer"}},"required":["changed"]})";

const ToolDef kTools[] = {
    {"list_tables", "List tables",
     "Lists the tables and views of the SQLite database as JSON: {\"tables\":[{\"name\","
     "\"kind\" (table, view, virtual with its \"module\", shadow, internal),\"rows\"}],"
     "\"total\":N,\"next_cursor\"}. rows is counted up to 10000 and then says \"10000+\". "
     "Shadow and internal tables only with include_hidden. A long list stops early with a "
     "next_cursor to go on from.",
     true, kListArgs, kTablesSchema, run_list_tables},
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
     "With shape arrays the rows are arrays of values in column order; max_cell_chars cuts long "
     "texts. "
     "params fills ? and :name parameters. BLOBs come as Base64 text. Statements that could write, "
     "PRAGMA, ATTACH and a second "
     "statement are refused. A page also stops early, at a row boundary, to keep the answer "
     "within the server's size limit. When more rows follow, a second text (and more and "
     "next_offset) says so and at which offset the next page starts.",
     true, kReadArgs, kPageSchema, run_read_query, true},
    {"search_schema", "Search the schema",
     "Finds the tables whose name, or one of whose columns, indexes or triggers, contains "
     "pattern (ignoring ASCII case), and answers {\"tables\":[...],\"total\":N,"
     "\"next_cursor\"} at the detail asked: names (name, kind and what matched), summary "
     "(also columns' names and types and the row count, up to \"10000+\") or full (also the "
     "whole description). Cheaper than describing every table.",
     true, kSearchArgs, kSearchSchema, run_search_schema},
    {"find_value", "Find a value",
     "Looks for text inside the text values of every table (views left out) and answers where "
     "it stands: {\"found\":[{\"table\",\"column\",\"rowid\" (or \"key\" for WITHOUT "
     "ROWID tables),\"value\" (an excerpt around the match, \u2026 where cut),\"length\"}]}. "
     "At most limit_per_table rows per table; a search that fills the answer or runs out of "
     "time stops with \"stopped\" and a next_cursor to go on from.",
     true, kFindArgs, kFoundSchema, run_find_value},
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

// The values of a kChoice argument, the first its default.
std::vector<std::string_view> choices_of(const ArgDef& arg) {
  std::vector<std::string_view> out;
  std::string_view rest = arg.choices;
  for (size_t bar; (bar = rest.find('|')) != rest.npos; rest.remove_prefix(bar + 1)) {
    out.push_back(rest.substr(0, bar));
  }
  out.push_back(rest);
  return out;
}

// The JSON Schema of a tool's arguments.
yyjson_mut_val* input_schema(yyjson_mut_doc* doc, const ToolDef& tool) {
  yyjson_mut_val* schema = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_str(doc, schema, "type", "object");
  yyjson_mut_val* properties = yyjson_mut_obj_add_obj(doc, schema, "properties");
  yyjson_mut_val* required = yyjson_mut_arr(doc);
  for (const auto& arg : tool.args) {
    yyjson_mut_val* prop = yyjson_mut_obj_add_obj(doc, properties, arg.name);
    switch (arg.kind) {
      case ArgKind::kText:
        yyjson_mut_obj_add_str(doc, prop, "type", "string");
        yyjson_mut_obj_add_int(doc, prop, "minLength", 1);
        if (arg.max > 0) yyjson_mut_obj_add_int(doc, prop, "maxLength", arg.max);
        break;
      case ArgKind::kNumber:
        yyjson_mut_obj_add_str(doc, prop, "type", "integer");
        yyjson_mut_obj_add_int(doc, prop, "minimum", arg.min);
        yyjson_mut_obj_add_int(doc, prop, "maximum", arg.max);
        yyjson_mut_obj_add_int(doc, prop, "default", arg.fallback);
        break;
      case ArgKind::kBool:
        yyjson_mut_obj_add_str(doc, prop, "type", "boolean");
        yyjson_mut_obj_add_bool(doc, prop, "default", false);
        break;
      case ArgKind::kChoice: {
        yyjson_mut_obj_add_str(doc, prop, "type", "string");
        yyjson_mut_val* values = yyjson_mut_obj_add_arr(doc, prop, "enum");
        const auto choices = choices_of(arg);
        for (std::string_view c : choices) yyjson_mut_arr_add_strn(doc, values, c.data(), c.size());
        yyjson_mut_obj_add_strn(doc, prop, "default", choices[0].data(), choices[0].size());
        break;
      }
      case ArgKind::kParams: {
        yyjson_mut_val* types = yyjson_mut_obj_add_arr(doc, prop, "type");
        yyjson_mut_arr_add_str(doc, types, "array");
        yyjson_mut_arr_add_str(doc, types, "object");
        yyjson_mut_val* values = yyjson_mut_obj_add_obj(doc, prop, "items");
        yyjson_mut_val* value_types = yyjson_mut_obj_add_arr(doc, values, "type");
        for (const char* t : {"null", "boolean", "number", "string"}) {
          yyjson_mut_arr_add_str(doc, value_types, t);
        }
        yyjson_mut_obj_add_val(doc, prop, "additionalProperties",
                               yyjson_mut_obj_get(prop, "items"));
        break;
      }
    }
    yyjson_mut_obj_add_str(doc, prop, "description", arg.description);
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
    if (arg.kind == ArgKind::kNumber) out->*arg.number = arg.fallback;
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
    switch (arg->kind) {
      case ArgKind::kText: {
        // The library reads text up to its first NUL: text after one would be
        // silently dropped, so it is refused.
        const size_t most = arg->max > 0 ? static_cast<size_t>(arg->max) : SIZE_MAX;
        if (!yyjson_is_str(value) || yyjson_get_len(value) == 0 ||
            std::memchr(yyjson_get_str(value), '\0', yyjson_get_len(value)) != nullptr) {
          return RpcReply::error(kRpcInvalidParams,
                                 what + " must be a non-empty string without NUL characters");
        }
        if (yyjson_get_len(value) > most) {
          return RpcReply::error(kRpcInvalidParams,
                                 what + " takes at most " + std::to_string(most) + " bytes");
        }
        (out->*arg->text).assign(yyjson_get_str(value), yyjson_get_len(value));
        break;
      }
      case ArgKind::kNumber:
        if (!whole_number(value, *arg, &(out->*arg->number))) {
          return RpcReply::error(kRpcInvalidParams, what + " must be a whole number from " +
                                                        std::to_string(arg->min) + " to " +
                                                        std::to_string(arg->max));
        }
        break;
      case ArgKind::kBool:
        if (!yyjson_is_bool(value))
          return RpcReply::error(kRpcInvalidParams, what + " must be true or false");
        out->*arg->flag = yyjson_get_bool(value);
        break;
      case ArgKind::kChoice: {
        const auto choices = choices_of(*arg);
        const std::string_view given =
            yyjson_is_str(value) ? std::string_view(yyjson_get_str(value), yyjson_get_len(value))
                                 : std::string_view();
        if (!yyjson_is_str(value) ||
            std::find(choices.begin(), choices.end(), given) == choices.end()) {
          std::string names;
          for (std::string_view c : choices) names += (names.empty() ? "" : ", ") + std::string(c);
          return RpcReply::error(kRpcInvalidParams, what + " must be one of " + names);
        }
        (out->*arg->text).assign(given);
        break;
      }
      case ArgKind::kParams: {
        std::string why;
        if (!(yyjson_is_arr(value) || yyjson_is_obj(value)) || !params_values_fit(value, &why)) {
          return RpcReply::error(
              kRpcInvalidParams,
              what + (why.empty() ? " must be an array or an object" : " " + why));
        }
        out->params = value;
        break;
      }
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
    if (session.apps && tool.shows_rows) add_app_link(doc, item);
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
