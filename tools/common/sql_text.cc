// A scan over SQLite's token boundaries only: what is a string, a quoted name
// or a comment. Keywords do not matter here.
#include "common/sql_text.h"

namespace kestrova::tools {

// See sql_text.h.
size_t quoted_token_end(std::string_view sql, size_t i) {
  const char c = sql[i];
  if (c == '\'' || c == '"' || c == '`' || c == '[') {
    const char close = c == '[' ? ']' : c;
    for (size_t j = i + 1; j < sql.size(); ++j) {
      if (sql[j] != close) continue;
      // A doubled quote stands for one; brackets have no escape.
      if (close != ']' && j + 1 < sql.size() && sql[j + 1] == close) {
        ++j;
        continue;
      }
      return j + 1;
    }
    return sql.size();
  }
  if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
    const size_t end = sql.find('\n', i);
    return end == sql.npos ? sql.size() : end + 1;
  }
  if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
    const size_t end = sql.find("*/", i + 2);
    return end == sql.npos ? sql.size() : end + 2;
  }
  return i;
}

namespace {

bool is_comment_start(std::string_view sql, size_t i) {
  return i + 1 < sql.size() &&
         ((sql[i] == '-' && sql[i + 1] == '-') || (sql[i] == '/' && sql[i + 1] == '*'));
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

}  // namespace

// See sql_text.h.
std::string_view statement_body(std::string_view sql) {
  size_t end = 0;  // just past the last token that is not a comment
  bool after_semicolon = false;
  for (size_t i = 0; i < sql.size();) {
    if (is_space(sql[i])) {
      ++i;
      continue;
    }
    const bool comment = is_comment_start(sql, i);
    if (sql[i] == ';') {
      after_semicolon = true;
      ++i;
      continue;
    }
    if (!comment && after_semicolon) return sql;  // a second statement
    const size_t next = quoted_token_end(sql, i);
    const size_t past = next > i ? next : i + 1;
    if (!comment) end = past;
    i = past;
  }
  return sql.substr(0, end);
}

}  // namespace kestrova::tools
