// Both build SQL from names and texts as quoted identifiers and string
// literals only; the person's text is never SQL.
#include "cli/search.h"

#include <cstdio>
#include <vector>

#include "cli/rows.h"
#include "cli/sql_text.h"
#include "cli/table_list.h"
#include "common/json.h"
#include "common/library.h"
#include "common/table_description.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// The full-text table that indexes `table` as its external content, if any;
// FTS5 first.
const TableEntry* index_of(const std::vector<TableEntry>& tables, const std::string& table) {
  const TableEntry* found = nullptr;
  for (const auto& t : tables) {
    std::string content;
    if (t.kind != "virtual" || t.module.rfind("fts", 0) != 0 ||
        !module_option(t.sql, "content", &content) || content != table) {
      continue;
    }
    if (found == nullptr || (t.module == "fts5" && found->module != "fts5")) found = &t;
  }
  return found;
}

// Runs `sql` and reads its page; false with the library's message.
bool run_page(int32_t handle, const std::string& sql, RowPage* page, std::string* error) {
  const Result result(sqlr_query(handle, sql.c_str(), 0, SQLR_MAX_PAGE_ROWS));
  if (result == nullptr) {
    *error = last_error();
    return false;
  }
  return page_from_json(result.get(), page, error);
}

// `text` as a LIKE pattern that matches it anywhere, with '\' as the escape.
std::string like_anywhere(std::string_view text) {
  std::string out = "%";
  for (const char c : text) {
    if (c == '%' || c == '_' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "%";
}

// The statement that finds the matches of `pattern` (`needle` for where they
// start) in the columns `columns` of table `t`.
std::string grep_statement(const TableEntry& t, const std::vector<std::string>& columns,
                           const std::string& pattern, const std::string& needle) {
  const std::string table = quote_name(t.name);
  std::string inner = std::string("SELECT ") + (t.without_rowid ? "NULL" : "rowid") + " AS rid";
  std::string any;
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string c = quote_name(columns[i]);
    const std::string v = "v" + std::to_string(i);
    // The part of the value around the first match, marked where it is cut.
    const std::string from = "max(1, instr(lower(" + c + "), lower(" + needle + ")) - " +
                             std::to_string(kGrepValueChars / 3) + ")";
    inner += ", CASE WHEN typeof(" + c + ") = 'text' AND " + c + " LIKE " + pattern +
             " ESCAPE '\\' THEN (CASE WHEN " + from + " > 1 THEN '…' ELSE '' END) || substr(" + c +
             ", " + from + ", " + std::to_string(kGrepValueChars) + ") || (CASE WHEN length(" + c +
             ") >= " + from + " + " + std::to_string(kGrepValueChars) +
             " THEN '…' ELSE '' END) END AS " + v;
    any += (i > 0 ? " OR " : "") + v + " IS NOT NULL";
  }
  std::string outer = "SELECT rid";
  for (size_t i = 0; i < columns.size(); ++i) outer += ", v" + std::to_string(i);
  return outer + " FROM (" + inner + " FROM " + table + ") WHERE " + any + " LIMIT " +
         std::to_string(kGrepMatchesPerTable + 1);
}

// Appends the matches of `page` for table `t` to `rows`; true when the table
// had more than it shows.
bool add_matches(const TableEntry& t, const std::vector<std::string>& columns, const RowPage& page,
                 yyjson_mut_doc* doc, yyjson_mut_val* rows) {
  int64_t shown = 0;
  for (size_t r = 0; r < page.rows(); ++r) {
    const Value* v = page.row(r);
    for (size_t c = 0; c < columns.size(); ++c) {
      if (v[c + 1].kind == ValueKind::kNull) continue;
      if (shown == kGrepMatchesPerTable) return true;
      ++shown;
      yyjson_mut_val* row = yyjson_mut_obj(doc);
      yyjson_mut_obj_add_strncpy(doc, row, "table", t.name.data(), t.name.size());
      yyjson_mut_obj_add_strncpy(doc, row, "column", columns[c].data(), columns[c].size());
      if (v[0].kind == ValueKind::kInteger) {
        yyjson_mut_obj_add(row, yyjson_mut_str(doc, "rowid"),
                           yyjson_mut_rawncpy(doc, v[0].text.data(), v[0].text.size()));
      } else {
        yyjson_mut_obj_add_null(doc, row, "rowid");
      }
      yyjson_mut_obj_add_strncpy(doc, row, "value", v[c + 1].text.data(), v[c + 1].text.size());
      yyjson_mut_arr_append(rows, row);
    }
  }
  return page.rows() > static_cast<size_t>(kGrepMatchesPerTable);
}

}  // namespace

// See search.h.
bool full_text_query(std::string_view text, bool fts5, std::string* query) {
  query->clear();
  for (size_t i = 0; i < text.size();) {
    if (is_space(text[i])) {
      ++i;
      continue;
    }
    std::string word;
    for (; i < text.size() && !is_space(text[i]); ++i) {
      if (text[i] == '"') {
        if (!fts5) continue;
        word.push_back('"');
      }
      word.push_back(text[i]);
    }
    if (word.empty()) continue;
    if (!query->empty()) query->push_back(' ');
    *query += "\"" + word + "\"";
  }
  return !query->empty();
}

// See search.h.
bool search_statement(int32_t handle, const std::string& table, std::string_view text,
                      std::string* sql, std::string* error) {
  std::vector<TableEntry> tables;
  if (!list_tables(handle, &tables, error)) return false;
  const TableEntry* target = nullptr;
  for (const auto& t : tables) {
    if (t.name == table) target = &t;
  }
  if (target == nullptr) {
    *error = "table or view not found: " + table;
    return false;
  }
  const bool searchable = target->kind == "virtual" && target->module.rfind("fts", 0) == 0;
  const TableEntry* index = searchable ? target : index_of(tables, table);
  if (index == nullptr) {
    *error = table + " is not a full-text table, and no full-text table indexes it";
    return false;
  }
  const bool fts5 = index->module == "fts5";
  std::string query;
  if (!full_text_query(text, fts5, &query)) {
    *error = "no words to search for";
    return false;
  }
  const std::string fts = quote_name(index->name);
  const std::string match = fts + " MATCH " + sql_literal(query);
  const std::string rank = fts5 ? " ORDER BY bm25(" + fts + ")" : "";
  if (index == target) {
    *sql = "SELECT rowid, * FROM " + fts + " WHERE " + match + rank;
    return true;
  }
  // The content table's rows, in the index's order.
  std::string key = "rowid";
  if (fts5) module_option(index->sql, "content_rowid", &key);
  const std::string content = quote_name(table);
  *sql = "SELECT m.kestrova_rowid AS rowid, " + content +
         ".* FROM (SELECT rowid AS kestrova_rowid" +
         (fts5 ? ", bm25(" + fts + ") AS kestrova_rank" : "") + " FROM " + fts + " WHERE " + match +
         ") AS m JOIN " + content + " ON " + content + "." + quote_name(key) +
         " = m.kestrova_rowid ORDER BY " + (fts5 ? "m.kestrova_rank" : "m.kestrova_rowid");
  return true;
}

// See search.h.
bool grep_tables(int32_t handle, std::string_view text, std::string* json, std::string* error) {
  if (text.empty()) {
    *error = "no text to search for";
    return false;
  }
  if (text.size() > kGrepMaxTextBytes) {
    *error =
        "the text to search for is longer than " + std::to_string(kGrepMaxTextBytes) + " bytes";
    return false;
  }
  std::vector<TableEntry> tables;
  if (!list_tables(handle, &tables, error)) return false;
  const std::string pattern = sql_literal(like_anywhere(text));
  const std::string needle = sql_literal(text);

  BuiltDoc doc(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* root = yyjson_mut_obj(doc.get());
  yyjson_mut_doc_set_root(doc.get(), root);
  yyjson_mut_val* names = yyjson_mut_arr(doc.get());
  for (const char* name : {"table", "column", "rowid", "value"}) {
    yyjson_mut_arr_add_str(doc.get(), names, name);
  }
  yyjson_mut_val* rows = yyjson_mut_arr(doc.get());
  yyjson_mut_obj_add_val(doc.get(), root, "columns", names);
  yyjson_mut_obj_add_val(doc.get(), root, "rows", rows);
  for (const auto& t : tables) {
    std::string content;
    // A full-text table's text is searched where it is kept: in its own
    // table, or in the content table that it indexes.
    const bool own_text =
        t.kind == "table" || (t.kind == "virtual" && t.module.rfind("fts", 0) == 0 &&
                              !module_option(t.sql, "content", &content));
    if (!own_text) continue;
    RowPage columns_page;
    std::string why;
    if (!run_page(handle,
                  "SELECT name FROM pragma_table_xinfo(" + sql_literal(t.name) +
                      ") WHERE hidden IN (0, 2, 3) ORDER BY cid",
                  &columns_page, &why)) {
      std::fprintf(stderr, "kestrova-sqlr: %s: %s\n", t.name.c_str(), why.c_str());
      continue;
    }
    std::vector<std::string> columns;
    for (size_t r = 0; r < columns_page.rows(); ++r) {
      columns.emplace_back(columns_page.row(r)[0].text);
    }
    if (columns.empty()) continue;
    RowPage matches;
    if (!run_page(handle, grep_statement(t, columns, pattern, needle), &matches, &why)) {
      std::fprintf(stderr, "kestrova-sqlr: %s: %s\n", t.name.c_str(), why.c_str());
      continue;
    }
    if (add_matches(t, columns, matches, doc.get(), rows)) {
      std::fprintf(stderr, "kestrova-sqlr: %s: more than %lld matches; the first %lld are shown\n",
                   t.name.c_str(), static_cast<long long>(kGrepMatchesPerTable),
                   static_cast<long long>(kGrepMatchesPerTable));
    }
  }
  const size_t count = yyjson_mut_arr_size(rows);
  yyjson_mut_obj_add_int(doc.get(), root, "offset", 0);
  yyjson_mut_obj_add_int(doc.get(), root, "limit", static_cast<int64_t>(count));
  yyjson_mut_obj_add_int(doc.get(), root, "returned", static_cast<int64_t>(count));
  return write_json(doc.get(), YYJSON_WRITE_NOFLAG, json, error);
}

}  // namespace kestrova::tools::cli
