// The library keeps no cursor: each call runs the statement from its start.
// Offset paging passes over `offset` rows each time; key paging adds the key
// of the last row read to the statement (WHERE key > last), so SQLite seeks
// to it through the table's own b-tree. A key page reads each key column once
// more as quote(column), an SQL literal that reads back exactly, and drops
// those columns from the rows it hands on; its cursor is those literals.
#include "common/pager.h"

#include <algorithm>
#include <climits>

#include "common/library.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools {
namespace {

// The names SQLite gives a rowid table's rowid; a column may take any of them.
constexpr const char* kRowidNames[] = {"rowid", "_rowid_", "oid"};

// Whether `s` is one SQL literal as quote() writes it: NULL, a number, a
// string in single quotes ('' inside), or a blob X'..'. A cursor comes back
// from a client and goes into SQL text, so nothing else passes.
bool sql_literal_text(std::string_view s) {
  if (s == "NULL") return true;
  if (s.size() >= 2 && s.front() == '\'' && s.back() == '\'') {
    for (size_t i = 1; i + 1 < s.size(); ++i) {
      if (s[i] == '\0') return false;
      if (s[i] == '\'') {
        if (i + 2 >= s.size() || s[i + 1] != '\'') return false;
        ++i;
      }
    }
    return true;
  }
  if (s.size() >= 3 && (s[0] == 'X' || s[0] == 'x') && s[1] == '\'' && s.back() == '\'') {
    if ((s.size() - 3) % 2 != 0) return false;
    for (size_t i = 2; i + 1 < s.size(); ++i) {
      const char c = s[i];
      if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'))) {
        return false;
      }
    }
    return true;
  }
  // -?digits[.digits][e[+-]digits]
  size_t i = 0;
  const auto digits = [&] {
    const size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (!digits()) return false;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

// Whether a column of the table is called `name` (ASCII case folded).
bool has_column(const std::vector<CatalogueColumn>& columns, std::string_view name) {
  for (const auto& c : columns) {
    if (c.name.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      char x = c.name[i];
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
      same = x == name[i];
    }
    if (same) return true;
  }
  return false;
}

// Drops the last `drop` members of the object `obj` of a read document. The
// members stand one after another, so a shorter length leaves the first ones
// whole for every reader and writer.
void drop_last_members(yyjson_val* obj, size_t drop) {
  const size_t len = yyjson_obj_size(obj);
  unsafe_yyjson_set_len(obj, len > drop ? len - drop : 0);
}

// The cursor of `row`: a JSON array of its last `parts` values (the quote()
// literals of its key).
bool cursor_of(yyjson_val* row, size_t parts, std::string* out, std::string* error) {
  const BuiltDoc cursor(yyjson_mut_doc_new(nullptr));
  yyjson_mut_val* arr = yyjson_mut_arr(cursor.get());
  yyjson_mut_doc_set_root(cursor.get(), arr);
  const size_t skip = yyjson_obj_size(row) - parts;
  yyjson_obj_iter it = yyjson_obj_iter_with(row);
  for (size_t i = 0; yyjson_val* k = yyjson_obj_iter_next(&it); ++i) {
    if (i < skip) continue;
    yyjson_val* v = yyjson_obj_iter_get_val(k);
    yyjson_mut_arr_add_strncpy(cursor.get(), arr, yyjson_get_str(v), yyjson_get_len(v));
  }
  return write_json(cursor.get(), YYJSON_WRITE_NOFLAG, out, error);
}

// Where the rows of the library's page `text` end: the index of the "]" that
// closes them, found by reading its ending
// ],"offset":O,"limit":L,"returned":N} back from the end; npos when the text
// does not end that way.
size_t rows_close(std::string_view text) {
  size_t at = text.size();
  if (at == 0 || text[--at] != '}') return std::string_view::npos;
  for (const std::string_view key : {",\"returned\":", ",\"limit\":", ",\"offset\":"}) {
    const size_t digits_end = at;
    while (at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9') --at;
    if (at == digits_end || at < key.size() || text.substr(at - key.size(), key.size()) != key) {
      return std::string_view::npos;
    }
    at -= key.size();
  }
  return at > 0 && text[at - 1] == ']' ? at - 1 : std::string_view::npos;
}

// Sets page->rows_end for a page whose first `keep` rows stay, of `got` the
// library returned (at most one more): the end of the last kept row, found
// by writing the row after it and matching its text before the ending.
void find_rows_end(Page* page, size_t keep, size_t got) {
  page->rows_end = 0;
  const std::string_view text(page->text.get());
  const size_t close = rows_close(text);
  if (close == std::string_view::npos || got > keep + 1) return;
  if (got == keep) {
    page->rows_end = close;
    return;
  }
  std::string last, why;
  if (!write_json(page->rows[keep], YYJSON_WRITE_NOFLAG, &last, &why) || close < last.size() + 1 ||
      text.substr(close - last.size(), last.size()) != last) {
    return;
  }
  const size_t before = close - last.size() - 1;  // the "," or, with no row kept, the "["
  if (text[before] == (keep > 0 ? ',' : '[')) page->rows_end = keep > 0 ? before : before + 1;
}

}  // namespace

// See pager.h.
Pager Pager::for_statement(int32_t handle, std::string sql) {
  return Pager(handle, std::move(sql));
}

// See pager.h.
Pager Pager::for_table(int32_t handle, std::string name, std::string where, std::string order) {
  return for_table(nullptr, handle, {std::move(name), "", std::move(where), std::move(order)});
}

// See pager.h. A null `catalogue` is the pager's own.
Pager Pager::for_table(Catalogue* catalogue, int32_t handle, TableRead read) {
  Pager pager(handle, "");
  pager.own_catalogue_ = Catalogue(handle);
  pager.catalogue_ = catalogue;
  pager.table_ = std::move(read);
  pager.planned_ = false;
  return pager;
}

// See pager.h.
bool Pager::plan(std::string* error) {
  if (planned_) return true;
  Catalogue* catalogue = catalogue_ != nullptr ? catalogue_ : &own_catalogue_;
  CatalogueEntry entry;
  CatalogueError failure;
  std::vector<CatalogueColumn> columns;
  if (!catalogue->find(table_.name, &entry, &failure)) {
    *error = failure.message;
    return false;
  }
  const bool ordinary = entry.kind == "table" || entry.kind == "shadow" || entry.kind == "internal";
  key_columns_.clear();
  if (ordinary && table_.order.empty()) {
    if (!catalogue->columns(table_.name, &columns, &failure)) {
      *error = failure.message;
      return false;
    }
    if (entry.without_rowid) {
      std::vector<const CatalogueColumn*> key;
      for (const auto& c : columns) {
        if (c.pk > 0) key.push_back(&c);
      }
      std::sort(key.begin(), key.end(), [](auto* a, auto* b) { return a->pk < b->pk; });
      for (const auto* c : key) key_columns_.push_back(sql_identifier(c->name));
    } else {
      for (const char* rowid : kRowidNames) {
        if (!has_column(columns, rowid)) {
          key_columns_.emplace_back(rowid);
          break;
        }
      }
    }
  }
  const std::string select = table_.select.empty() ? "*" : table_.select;
  sql_ = "SELECT " + select;
  for (size_t i = 0; i < key_columns_.size(); ++i) {
    sql_ += ", quote(" + key_columns_[i] + ")";
  }
  sql_ += " FROM " + sql_identifier(table_.name);
  planned_ = true;
  return true;
}

// See pager.h. The key condition is a row value where the key has several
// columns, which SQLite compares column by column, as ORDER BY sorts.
bool Pager::statement_after(const std::string& key, std::string* sql, std::string* error) const {
  std::vector<std::string> after;
  if (!key.empty()) {
    std::string why;
    const ParsedDoc doc = read_json(key, YYJSON_READ_NOFLAG, &why);
    yyjson_val* parts = yyjson_doc_get_root(doc.get());
    if (!by_key() || !yyjson_is_arr(parts) || yyjson_arr_size(parts) != key_columns_.size()) {
      *error = "not a key of this table's pages";
      return false;
    }
    size_t i, n;
    yyjson_val* part;
    yyjson_arr_foreach(parts, i, n, part) {
      const std::string_view text(yyjson_get_str(part) != nullptr ? yyjson_get_str(part) : "",
                                  yyjson_get_len(part));
      if (!yyjson_is_str(part) || !sql_literal_text(text)) {
        *error = "not a key of this table's pages";
        return false;
      }
      after.emplace_back(text);
    }
  }
  *sql = sql_;
  std::string condition;
  if (!after.empty()) {
    std::string left, right;
    for (size_t i = 0; i < after.size(); ++i) {
      left += (i > 0 ? ", " : "") + key_columns_[i];
      right += (i > 0 ? ", " : "") + after[i];
    }
    condition = after.size() == 1 ? left + " > " + right : "(" + left + ") > (" + right + ")";
  }
  if (!table_.where.empty() && !condition.empty()) {
    *sql += " WHERE (" + table_.where + ") AND " + condition;
  } else if (!table_.where.empty()) {
    *sql += " WHERE (" + table_.where + ")";
  } else if (!condition.empty()) {
    *sql += " WHERE " + condition;
  }
  if (by_key()) {
    *sql += " ORDER BY ";
    for (size_t i = 0; i < key_columns_.size(); ++i) *sql += (i > 0 ? ", " : "") + key_columns_[i];
  } else if (!table_.order.empty()) {
    *sql += " ORDER BY " + table_.order;
  }
  return true;
}

// See pager.h.
bool Pager::fetch(const std::string& sql, int64_t offset, int32_t ask, Page* page, bool* halved,
                  int32_t* asked, std::string* error) const {
  if (offset > INT32_MAX) {
    *error = "the offset passes the largest one the library takes (2147483647)";
    return false;
  }
  *halved = false;
  Result text;
  for (;;) {
    text.reset(sqlr_query(handle_, sql.c_str(), static_cast<int32_t>(offset), ask));
    if (text != nullptr) break;
    std::string why = last_error();
    if (why != SQLR_MSG_RESULT_TOO_LARGE || ask <= 1) {
      *error = std::move(why);
      return false;
    }
    ask /= 2;
    *halved = true;
  }
  *asked = ask;
  std::string why;
  page->doc = read_json(text.get(), YYJSON_READ_NUMBER_AS_RAW, &why);
  page->text = std::move(text);
  page->rows_end = 0;
  yyjson_val* root = yyjson_doc_get_root(page->doc.get());
  yyjson_val* columns = yyjson_obj_get(root, "columns");
  yyjson_val* rows = yyjson_obj_get(root, "rows");
  if (!yyjson_is_arr(columns) || !yyjson_is_arr(rows)) {
    *error = "unexpected page from the library" + (why.empty() ? "" : ": " + why);
    return false;
  }
  page->columns.clear();
  page->rows.clear();
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(columns, i, n, v)
      page->columns.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
  yyjson_arr_foreach(rows, i, n, v) page->rows.push_back(v);
  return true;
}

// See pager.h. The page's rows are the library's; `more` comes from the row
// asked beyond them, or, after halving, from the larger page's refusal (it
// held more rows than the smaller one that came back full).
bool Pager::read(int64_t offset, const std::string& key, int32_t limit, Page* page,
                 std::string* error) {
  if (!plan(error)) return false;
  int32_t want = std::clamp<int32_t>(limit, 0, SQLR_MAX_PAGE_ROWS);
  int32_t ask = want == 0 ? 1 : std::min<int32_t>(want + 1, SQLR_MAX_PAGE_ROWS);
  if (fits_ > 1 && ask > fits_) {
    // An earlier page had to be halved: start where it ended, with one row
    // beyond, rather than be refused again.
    want = fits_ - 1;
    ask = fits_;
  }
  std::string sql;
  if (!statement_after(key, &sql, error)) return false;
  const int64_t at = key.empty() ? offset : 0;
  bool halved = false;
  int32_t asked = 0;
  if (!fetch(sql, at, ask, page, &halved, &asked, error)) return false;
  if (halved) fits_ = asked;
  const auto got = static_cast<int64_t>(page->rows.size());
  const int64_t keep = std::min<int64_t>(got, want);
  bool more = false;
  if (halved || ask > want) {
    // One row beyond the page, or a full page where a larger one was refused.
    more = got > want || (halved && got == asked);
  } else if (got == want) {
    // A page of the library's most rows cannot carry one beyond: ask once more.
    std::string probe_key, probe_sql;
    if (by_key() && !cursor_of(page->rows.back(), key_columns_.size(), &probe_key, error)) {
      return false;
    }
    if (!statement_after(probe_key, &probe_sql, error)) return false;
    Page probe;
    bool unused_halved = false;
    int32_t unused_asked = 0;
    std::string why;
    if (fetch(probe_sql, by_key() ? 0 : at + got, 1, &probe, &unused_halved, &unused_asked, &why)) {
      more = !probe.rows.empty();
    } else if (why == SQLR_MSG_RESULT_TOO_LARGE) {
      more = true;  // a row too large to read is still a row
    } else {
      *error = why;
      return false;
    }
  }
  page->next_key.clear();
  if (by_key() && more) {
    if (keep == 0) {
      page->next_key = key;
    } else if (!cursor_of(page->rows[static_cast<size_t>(keep - 1)], key_columns_.size(),
                          &page->next_key, error)) {
      return false;
    }
  }
  if (!by_key()) find_rows_end(page, static_cast<size_t>(keep), static_cast<size_t>(got));
  page->rows.resize(static_cast<size_t>(keep));
  if (by_key()) {
    yyjson_val* root = yyjson_doc_get_root(page->doc.get());
    const size_t parts = key_columns_.size();
    for (yyjson_val* row : page->rows) drop_last_members(row, parts);
    yyjson_val* columns = yyjson_obj_get(root, "columns");
    unsafe_yyjson_set_len(columns, yyjson_arr_size(columns) - parts);
    page->columns.resize(page->columns.size() - parts);
  }
  page->offset = offset;
  page->more = more;
  page->next_offset = offset + keep;
  return true;
}

// See pager.h. Where the page's rows are known in the library's text, that
// text is the page (writing 10,000 rows again cost a quarter more of a tool
// server's page; BENCHMARKS.md). Otherwise, since yyjson's writer walks a
// document's values in the order they are stored and a container made
// shorter is only written whole on its own, the columns and each row are
// written one by one.
bool write_page_json(const Page* page, int64_t limit, std::string* out, std::string* error) {
  const std::string ending = "],\"offset\":" + std::to_string(page->offset) +
                             ",\"limit\":" + std::to_string(limit) +
                             ",\"returned\":" + std::to_string(page->rows.size()) + "}";
  if (page->rows_end > 0) {
    // The library's own text up to the last row of the page.
    out->reserve(page->rows_end + ending.size());
    out->assign(page->text.get(), page->rows_end);
    *out += ending;
    return true;
  }
  yyjson_val* columns = yyjson_obj_get(yyjson_doc_get_root(page->doc.get()), "columns");
  std::string part;
  if (!write_json(columns, YYJSON_WRITE_NOFLAG, &part, error)) return false;
  out->assign("{\"columns\":");
  *out += part;
  *out += ",\"rows\":[";
  for (size_t i = 0; i < page->rows.size(); ++i) {
    if (!write_json(page->rows[i], YYJSON_WRITE_NOFLAG, &part, error)) return false;
    if (i > 0) out->push_back(',');
    *out += part;
  }
  *out += ending;
  return true;
}

}  // namespace kestrova::tools
