// Both build SQL from names and texts as quoted identifiers and string
// literals only; the person's text is never SQL.
#include "cli/search.h"

#include <cctype>
#include <cstdio>
#include <vector>

#include "common/catalogue.h"
#include "common/json.h"
#include "common/library.h"
#include "common/sql_text.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::string lower(std::string_view text) {
  std::string out(text);
  for (auto& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool is_word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// `text` without one level of SQL quotes ('..', "..", `..`, [..]).
std::string unquoted(std::string_view text) {
  if (text.size() >= 2 && (text[0] == '\'' || text[0] == '"' || text[0] == '`' || text[0] == '[')) {
    const char close = text[0] == '[' ? ']' : text[0];
    std::string out;
    for (size_t i = 1; i + 1 < text.size(); ++i) {
      out.push_back(text[i]);
      if (text[i] == close && close != ']' && i + 2 < text.size() && text[i + 1] == close) ++i;
    }
    return out;
  }
  return std::string(text);
}

std::string trimmed(std::string_view text) {
  const size_t b = text.find_first_not_of(" \t\r\n");
  if (b == text.npos) return "";
  const size_t e = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(b, e - b + 1));
}

// The module name and the argument texts of a CREATE VIRTUAL TABLE text.
bool split_virtual(std::string_view sql, std::string* module, std::vector<std::string>* args) {
  // The first bare word USING (names before it may be quoted and hold it).
  size_t i = 0;
  while (i < sql.size()) {
    const size_t q = quoted_token_end(sql, i);
    if (q > i) {
      i = q;
      continue;
    }
    if (!is_word_char(sql[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < sql.size() && is_word_char(sql[j])) ++j;
    const bool using_word = lower(sql.substr(i, j - i)) == "using";
    i = j;
    if (!using_word) continue;
    while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
    size_t k = i;
    while (k < sql.size() && is_word_char(sql[k])) ++k;
    *module = lower(sql.substr(i, k - i));
    const size_t open = sql.find('(', k);
    if (open == sql.npos) return true;
    int depth = 0;
    size_t start = open + 1;
    for (size_t p = open + 1; p < sql.size();) {
      const size_t qe = quoted_token_end(sql, p);
      if (qe > p) {
        p = qe;
        continue;
      }
      if (sql[p] == '(') ++depth;
      if (sql[p] == ')' && depth-- == 0) {
        args->push_back(trimmed(sql.substr(start, p - start)));
        return true;
      }
      if (sql[p] == ',' && depth == 0) {
        args->push_back(trimmed(sql.substr(start, p - start)));
        start = p + 1;
      }
      ++p;
    }
    return true;
  }
  return false;
}

// The value of option `key` (lower case: content, content_rowid) among the
// arguments of a CREATE VIRTUAL TABLE text, unquoted; false when absent.
bool module_option(std::string_view create_sql, std::string_view key, std::string* value) {
  std::string module;
  std::vector<std::string> args;
  if (!split_virtual(create_sql, &module, &args)) return false;
  for (const auto& arg : args) {
    const size_t eq = arg.find('=');
    if (eq == arg.npos || lower(trimmed(std::string_view(arg).substr(0, eq))) != key) continue;
    *value = unquoted(trimmed(std::string_view(arg).substr(eq + 1)));
    return true;
  }
  return false;
}

// The full-text table that indexes `table` as its external content, if any;
// FTS5 first.
const CatalogueEntry* index_of(const std::vector<CatalogueEntry>& tables,
                               const std::string& table) {
  const CatalogueEntry* found = nullptr;
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

// Runs `sql` for its first page into `doc`; its rows, or null with the
// library's message in `error`.
yyjson_val* run_page(int32_t handle, const std::string& sql, ParsedDoc* doc, std::string* error) {
  const Result result(sqlr_query(handle, sql.c_str(), 0, SQLR_MAX_PAGE_ROWS));
  if (result == nullptr) {
    *error = last_error();
    return nullptr;
  }
  *doc = read_json(result.get(), YYJSON_READ_NUMBER_AS_RAW, error);
  yyjson_val* rows = yyjson_obj_get(yyjson_doc_get_root(doc->get()), "rows");
  if (!yyjson_is_arr(rows)) {
    *error = "unexpected page from the library" + (error->empty() ? "" : ": " + *error);
    return nullptr;
  }
  return rows;
}

// The `i`th value of the library's row `row` (null past its end).
yyjson_val* nth_value(yyjson_val* row, size_t i) {
  yyjson_obj_iter it = yyjson_obj_iter_with(row);
  for (size_t k = 0; yyjson_val* key = yyjson_obj_iter_next(&it); ++k) {
    if (k == i) return yyjson_obj_iter_get_val(key);
  }
  return nullptr;
}

// Every table and view of the database, from the shared catalogue.
bool list_catalogue(int32_t handle, std::vector<CatalogueEntry>* tables, std::string* error) {
  Catalogue catalogue(handle);
  CatalogueError failure;
  if (catalogue.list(tables, &failure)) return true;
  *error = failure.message;
  return false;
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
std::string grep_statement(const CatalogueEntry& t, const std::vector<std::string>& columns,
                           const std::string& pattern, const std::string& needle) {
  const std::string table = sql_identifier(t.name);
  std::string inner = std::string("SELECT ") + (t.without_rowid ? "NULL" : "rowid") + " AS rid";
  std::string any;
  for (size_t i = 0; i < columns.size(); ++i) {
    const std::string c = sql_identifier(columns[i]);
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

// Appends the matches in `matches` (rows of grep_statement) for table `t` to
// `rows`; true when the table had more than it shows.
bool add_matches(const CatalogueEntry& t, const std::vector<std::string>& columns,
                 yyjson_val* matches, yyjson_mut_doc* doc, yyjson_mut_val* rows) {
  int64_t shown = 0;
  size_t r, n;
  yyjson_val* match;
  yyjson_arr_foreach(matches, r, n, match) {
    yyjson_obj_iter it = yyjson_obj_iter_with(match);
    yyjson_val* rid = yyjson_obj_iter_get_val(yyjson_obj_iter_next(&it));
    for (size_t c = 0; c < columns.size(); ++c) {
      yyjson_val* key = yyjson_obj_iter_next(&it);
      yyjson_val* v = key != nullptr ? yyjson_obj_iter_get_val(key) : nullptr;
      if (!yyjson_is_str(v)) continue;
      if (shown == kGrepMatchesPerTable) return true;
      ++shown;
      yyjson_mut_val* row = yyjson_mut_obj(doc);
      yyjson_mut_obj_add_strncpy(doc, row, "table", t.name.data(), t.name.size());
      yyjson_mut_obj_add_strncpy(doc, row, "column", columns[c].data(), columns[c].size());
      if (yyjson_is_raw(rid)) {
        yyjson_mut_obj_add(row, yyjson_mut_str(doc, "rowid"),
                           yyjson_mut_rawncpy(doc, yyjson_get_raw(rid), yyjson_get_len(rid)));
      } else {
        yyjson_mut_obj_add_null(doc, row, "rowid");
      }
      yyjson_mut_obj_add_strncpy(doc, row, "value", yyjson_get_str(v), yyjson_get_len(v));
      yyjson_mut_arr_append(rows, row);
    }
  }
  return yyjson_arr_size(matches) > static_cast<size_t>(kGrepMatchesPerTable);
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
  std::vector<CatalogueEntry> tables;
  if (!list_catalogue(handle, &tables, error)) return false;
  const CatalogueEntry* target = nullptr;
  for (const auto& t : tables) {
    if (t.name == table) target = &t;
  }
  if (target == nullptr) {
    *error = "table or view not found: " + table;
    return false;
  }
  const bool searchable = target->kind == "virtual" && target->module.rfind("fts", 0) == 0;
  const CatalogueEntry* index = searchable ? target : index_of(tables, table);
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
  const std::string fts = sql_identifier(index->name);
  const std::string match = fts + " MATCH " + sql_literal(query);
  const std::string rank = fts5 ? " ORDER BY bm25(" + fts + ")" : "";
  if (index == target) {
    *sql = "SELECT rowid, * FROM " + fts + " WHERE " + match + rank;
    return true;
  }
  // The content table's rows, in the index's order.
  std::string key = "rowid";
  if (fts5) module_option(index->sql, "content_rowid", &key);
  const std::string content = sql_identifier(table);
  *sql = "SELECT m.kestrova_rowid AS rowid, " + content +
         ".* FROM (SELECT rowid AS kestrova_rowid" +
         (fts5 ? ", bm25(" + fts + ") AS kestrova_rank" : "") + " FROM " + fts + " WHERE " + match +
         ") AS m JOIN " + content + " ON " + content + "." + sql_identifier(key) +
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
  std::vector<CatalogueEntry> tables;
  if (!list_catalogue(handle, &tables, error)) return false;
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
    ParsedDoc columns_page;
    std::string why;
    yyjson_val* names = run_page(handle,
                                 "SELECT name FROM pragma_table_xinfo(" + sql_literal(t.name) +
                                     ") WHERE hidden IN (0, 2, 3) ORDER BY cid",
                                 &columns_page, &why);
    if (names == nullptr) {
      std::fprintf(stderr, "kestrova-sqlr: %s: %s\n", t.name.c_str(), why.c_str());
      continue;
    }
    std::vector<std::string> columns;
    size_t r, n;
    yyjson_val* row;
    yyjson_arr_foreach(names, r, n, row) {
      yyjson_val* name = nth_value(row, 0);
      columns.emplace_back(yyjson_is_str(name) ? yyjson_get_str(name) : "",
                           yyjson_is_str(name) ? yyjson_get_len(name) : 0);
    }
    if (columns.empty()) continue;
    ParsedDoc matches_page;
    yyjson_val* matches =
        run_page(handle, grep_statement(t, columns, pattern, needle), &matches_page, &why);
    if (matches == nullptr) {
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
