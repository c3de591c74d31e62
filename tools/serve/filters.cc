// Filters and searches as SQL text: every name quoted, every value a literal.
#include "serve/filters.h"

#include <cctype>

#include "common/json.h"
#include "common/params.h"

namespace kestrova::tools::serve {

namespace {

// `val` as the SQL value it stands for: a string as text, a number as an
// integer or real, null as NULL. False for anything else (objects, arrays,
// booleans), so that a value is always one plain value.
bool value_of(yyjson_val* val, SqlValue* out) {
  if (yyjson_is_str(val)) {
    *out = SqlValue::of_text(std::string(yyjson_get_str(val), yyjson_get_len(val)));
  } else if (yyjson_is_sint(val)) {
    *out = SqlValue::of_integer(yyjson_get_sint(val));
  } else if (yyjson_is_uint(val)) {
    *out = SqlValue::of_real(static_cast<double>(yyjson_get_uint(val)));
  } else if (yyjson_is_real(val)) {
    *out = SqlValue::of_real(yyjson_get_real(val));
  } else if (yyjson_is_null(val)) {
    *out = SqlValue::null();
  } else {
    return false;
  }
  return true;
}

// `text` with LIKE's wildcards and the escape character escaped by '\'.
std::string like_escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '%' || c == '_' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// One filter object as a condition, or false with the message.
bool one_filter(yyjson_val* f, const std::vector<CatalogueColumn>& columns,
                const std::string& qualifier, std::string* out, std::string* error) {
  if (!yyjson_is_obj(f)) {
    *error = "filters: each filter must be an object {column, op, value}";
    return false;
  }
  yyjson_val* column = nullptr;
  yyjson_val* op = nullptr;
  yyjson_val* value = nullptr;
  yyjson_val* values = nullptr;
  yyjson_obj_iter iter = yyjson_obj_iter_with(f);
  for (yyjson_val* key = yyjson_obj_iter_next(&iter); key != nullptr;
       key = yyjson_obj_iter_next(&iter)) {
    const std::string_view name(yyjson_get_str(key), yyjson_get_len(key));
    yyjson_val* val = yyjson_obj_iter_get_val(key);
    if (name == "column") {
      column = val;
    } else if (name == "op") {
      op = val;
    } else if (name == "value") {
      value = val;
    } else if (name == "values") {
      values = val;
    } else {
      *error = "filters: unknown member '" + valid_utf8(name) + "'";
      return false;
    }
  }
  if (!yyjson_is_str(column) || !yyjson_is_str(op)) {
    *error = "filters: column and op must be strings";
    return false;
  }
  const std::string_view name(yyjson_get_str(column), yyjson_get_len(column));
  bool known = false;
  for (const CatalogueColumn& c : columns) known = known || c.name == name;
  if (!known) {
    *error = "filters: no column " + valid_utf8(name) + " in the table";
    return false;
  }
  const std::string target = qualifier + sql_identifier(name);
  const std::string_view how(yyjson_get_str(op), yyjson_get_len(op));
  if (how == "null" || how == "notnull") {
    if (value != nullptr || values != nullptr) {
      *error = "filters: " + std::string(how) + " takes no value";
      return false;
    }
    *out = target + (how == "null" ? " IS NULL" : " IS NOT NULL");
    return true;
  }
  if (how == "in") {
    if (value != nullptr || !yyjson_is_arr(values) || yyjson_arr_size(values) == 0 ||
        yyjson_arr_size(values) > kMaxFilterValues) {
      *error = "filters: in takes values, an array of 1 to " + std::to_string(kMaxFilterValues);
      return false;
    }
    std::string list;
    size_t i = 0, n = 0;
    yyjson_val* v = nullptr;
    yyjson_arr_foreach(values, i, n, v) {
      SqlValue one;
      if (!value_of(v, &one)) {
        *error = "filters: a value must be a string, a number or null";
        return false;
      }
      list += (list.empty() ? "" : ", ") + sql_literal(one);
    }
    *out = target + " IN (" + list + ")";
    return true;
  }
  static constexpr struct {
    std::string_view op, sql;
  } kCompare[] = {{"eq", " = "}, {"ne", " <> "}, {"lt", " < "}, {"gt", " > "}};
  SqlValue one;
  if (values != nullptr || value == nullptr || !value_of(value, &one)) {
    *error = "filters: " + valid_utf8(how) + " takes one value, a string, a number or null";
    return false;
  }
  for (const auto& c : kCompare) {
    if (how == c.op) {
      *out = target + std::string(c.sql) + sql_literal(one);
      return true;
    }
  }
  if (how == "contains" || how == "starts") {
    if (one.kind == SqlValue::Kind::kNull) {
      *error = "filters: " + std::string(how) + " takes text";
      return false;
    }
    if (one.kind != SqlValue::Kind::kText) one = SqlValue::of_text(sql_literal(one));
    const std::string pattern = (how == "contains" ? "%" : "") + like_escaped(one.bytes) + "%";
    *out = target + " LIKE " + sql_literal(SqlValue::of_text(pattern)) + " ESCAPE '\\'";
    return true;
  }
  *error = "filters: unknown op '" + valid_utf8(how) +
           "' (eq, ne, lt, gt, contains, starts, null, notnull, in)";
  return false;
}

// `text` without the quotes of an SQL name or string ('', "", ``, []).
std::string unquoted(std::string_view text) {
  if (text.size() >= 2) {
    const char open = text.front(), close = text.back();
    if ((open == '\'' || open == '"' || open == '`') && close == open) {
      std::string out;
      for (size_t i = 1; i + 1 < text.size(); ++i) {
        out += text[i];
        if (text[i] == open) ++i;  // a doubled quote stands for one
      }
      return out;
    }
    if (open == '[' && close == ']') return std::string(text.substr(1, text.size() - 2));
  }
  return std::string(text);
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool same_word(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

}  // namespace

// See filters.h.
bool filters_sql(yyjson_val* filters, const std::vector<CatalogueColumn>& columns,
                 const std::string& qualifier, std::string* where, std::string* error) {
  where->clear();
  if (!yyjson_is_arr(filters) || yyjson_arr_size(filters) > kMaxFilters) {
    *error = "filters: expected an array of at most " + std::to_string(kMaxFilters) + " filters";
    return false;
  }
  size_t i = 0, n = 0;
  yyjson_val* f = nullptr;
  yyjson_arr_foreach(filters, i, n, f) {
    std::string one;
    if (!one_filter(f, columns, qualifier, &one, error)) return false;
    *where += (where->empty() ? "(" : " AND (") + one + ")";
  }
  return true;
}

// See filters.h.
bool fts_query(std::string_view text, bool syntax, std::string* query, std::string* error) {
  query->clear();
  if (syntax) {
    *query = std::string(trimmed(text));
  } else {
    size_t words = 0;
    size_t i = 0;
    while (i < text.size()) {
      while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      const size_t start = i;
      while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      if (i == start) break;
      if (++words > kMaxSearchWords) {
        *error = "search: at most " + std::to_string(kMaxSearchWords) + " words";
        return false;
      }
      std::string word = "\"";
      for (const char c : text.substr(start, i - start))
        word += c == '"' ? "\"\"" : std::string(1, c);
      *query += (query->empty() ? "" : " ") + word + "\"";
    }
  }
  if (query->empty()) {
    *error = "search: give at least one word";
    return false;
  }
  return true;
}

// See filters.h. The options are the module's arguments, split at the commas
// that stand outside quotes and brackets.
bool fts_content_of(std::string_view create, std::string* content, std::string* content_rowid) {
  content->clear();
  content_rowid->clear();
  const size_t open = create.find('(');
  if (open == create.npos) return false;
  std::vector<std::string_view> args;
  size_t start = open + 1;
  char quote = 0;
  int depth = 0;
  for (size_t i = start; i < create.size(); ++i) {
    const char c = create[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"' || c == '`') {
      quote = c;
    } else if (c == '[') {
      quote = ']';
    } else if (c == '(') {
      ++depth;
    } else if ((c == ',' || c == ')') && depth == 0) {
      args.push_back(create.substr(start, i - start));
      start = i + 1;
      if (c == ')') break;
    } else if (c == ')') {
      --depth;
    }
  }
  for (const std::string_view arg : args) {
    const size_t eq = arg.find('=');
    if (eq == arg.npos) continue;
    const std::string_view key = trimmed(arg.substr(0, eq));
    const std::string value = unquoted(trimmed(arg.substr(eq + 1)));
    if (same_word(key, "content")) *content = value;
    if (same_word(key, "content_rowid")) *content_rowid = value;
  }
  return !content->empty();
}

}  // namespace kestrova::tools::serve
