// Each answer is one read statement through sqlr_query, names always passed
// as SQL string literals or quoted identifiers.
#include "cli/table_list.h"

#include <algorithm>
#include <cctype>

#include "cli/rows.h"
#include "cli/sql_text.h"
#include "common/library.h"
#include "common/table_description.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {
namespace {

// Runs `sql` for its first page into `page`; false with the library's message.
bool run_page(int32_t handle, const std::string& sql, RowPage* page, std::string* error) {
  const Result result(sqlr_query(handle, sql.c_str(), 0, SQLR_MAX_PAGE_ROWS));
  if (result == nullptr) {
    *error = last_error();
    return false;
  }
  return page_from_json(result.get(), page, error);
}

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

}  // namespace

// See table_list.h.
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

// See table_list.h.
bool list_tables(int32_t handle, std::vector<TableEntry>* tables, std::string* error) {
  RowPage page;
  if (!run_page(handle,
                "SELECT l.name, l.type, l.wr, s.sql FROM pragma_table_list AS l "
                "LEFT JOIN sqlite_schema AS s ON s.name = l.name AND s.type IN ('table', 'view') "
                "WHERE l.schema = 'main' ORDER BY l.name",
                &page, error)) {
    return false;
  }
  tables->clear();
  for (size_t r = 0; r < page.rows(); ++r) {
    const Value* v = page.row(r);
    TableEntry e;
    e.name = std::string(v[0].text);
    const std::string type(v[1].text);
    e.without_rowid = v[2].text == "1";
    e.sql = std::string(v[3].text);
    if (e.name.size() >= 7 && lower(std::string_view(e.name).substr(0, 7)) == "sqlite_") {
      e.kind = "internal";
    } else if (type == "virtual") {
      e.kind = "virtual";
      std::vector<std::string> args;
      split_virtual(e.sql, &e.module, &args);
    } else {
      e.kind = type;  // table, view, shadow
    }
    e.hidden = e.kind == "shadow" || e.kind == "internal";
    tables->push_back(std::move(e));
  }
  return true;
}

// See table_list.h.
bool count_rows(int32_t handle, const std::string& name, int64_t* rows, bool* at_least,
                std::string* error) {
  RowPage page;
  const std::string sql = "SELECT count(*) FROM (SELECT 1 FROM " + quote_name(name) + " LIMIT " +
                          std::to_string(kMaxCountedRows + 1) + ")";
  if (!run_page(handle, sql, &page, error)) return false;
  *rows = page.rows() == 1 ? std::stoll(std::string(page.row(0)[0].text)) : 0;
  *at_least = *rows > kMaxCountedRows;
  if (*at_least) *rows = kMaxCountedRows;
  return true;
}

// See table_list.h.
bool schema_sql(int32_t handle, const std::string& name, std::string* out, std::string* error) {
  RowPage page;
  const std::string lit = sql_literal(name);
  const std::string sql =
      "SELECT type, sql FROM sqlite_schema WHERE tbl_name = " + lit +
      " AND sql IS NOT NULL AND (type IN ('index', 'trigger') OR name = " + lit +
      ") ORDER BY CASE type WHEN 'table' THEN 0 WHEN 'view' THEN 0 WHEN 'index' THEN 1 ELSE 2 END, "
      "rowid";
  if (!run_page(handle, sql, &page, error)) return false;
  if (page.rows() == 0 || (page.row(0)[0].text != "table" && page.row(0)[0].text != "view")) {
    *error = "table or view not found: " + name;
    return false;
  }
  out->clear();
  for (size_t r = 0; r < page.rows(); ++r) {
    out->append(page.row(r)[1].text);
    out->append(";\n");
  }
  return true;
}

}  // namespace kestrova::tools::cli
