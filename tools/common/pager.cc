// The library keeps no cursor: each call runs the statement from its start.
// Offset paging passes over `offset` rows each time; key paging adds the key
// of the last row read to the statement (WHERE key > last), so SQLite seeks
// to it through the table's own b-tree. A key page reads each key column once
// more as quote(column), an SQL literal that reads back exactly, and drops
// those columns from the rows it hands on; its cursor is those literals.
//
// A typed statement runs as
//   WITH kestrova_sqlr_page(c1, c2) AS (<statement>)
//   SELECT c1 AS "a", c2 AS "b", (typeof(c1) = 'blob') * 1 + (typeof(c2) = 'blob') * 2
//     AS kestrova_sqlr_blobs FROM kestrova_sqlr_page
// so that each row's BLOB marks belong to the very row they describe; one
// integer per 62 columns, since a text of letters per value (typeof, substr
// and || for each) cost SQLite more than writing the page. The column names
// come from the statement asked for no rows.
#include "common/pager.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/library.h"
#include "common/sql_text.h"
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

// The name of the members a typed statement adds to each row, and how many
// columns each one marks (bits of a positive 64-bit integer).
constexpr const char* kBlobsMember = "kestrova_sqlr_blobs";
constexpr size_t kBlobsPerMember = Page::kBlobsPerWord;

// `terms` joined by `op` as a balanced tree, so that the expression's depth
// grows with the logarithm of the column count, far below SQLite's limit.
std::string joined(const std::vector<std::string>& terms, size_t from, size_t to,
                   std::string_view op) {
  if (to - from == 1) return terms[from];
  const size_t mid = from + (to - from) / 2;
  return "(" + joined(terms, from, mid, op) + std::string(op) + joined(terms, mid, to, op) + ")";
}

// The typed form of `body` whose columns are `names` (see the top).
std::string typed_statement(std::string_view body, const std::vector<std::string>& names) {
  std::string inner, outer;
  std::vector<std::vector<std::string>> marks((names.size() + kBlobsPerMember - 1) /
                                              kBlobsPerMember);
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string c = "c" + std::to_string(i + 1);
    inner += (i > 0 ? ", " : "") + c;
    outer += (i > 0 ? ", " : "") + c + " AS " + sql_identifier(names[i]);
    marks[i / kBlobsPerMember].push_back("(typeof(" + c + ") = 'blob') * " +
                                         std::to_string(uint64_t{1} << (i % kBlobsPerMember)));
  }
  for (size_t w = 0; w < marks.size(); ++w) {
    outer += ", " + joined(marks[w], 0, marks[w].size(), " + ") + " AS " + kBlobsMember +
             (w > 0 ? "_" + std::to_string(w + 1) : "");
  }
  return "WITH kestrova_sqlr_page(" + inner + ") AS (\n" + std::string(body) + "\n) SELECT " +
         outer + " FROM kestrova_sqlr_page";
}

// The integer the raw number `v` writes, 0 when it is not a plain one.
uint64_t blob_word(yyjson_val* v) {
  if (!yyjson_is_raw(v)) return 0;
  const char* p = yyjson_get_raw(v);
  uint64_t n = 0;
  for (size_t i = 0, len = yyjson_get_len(v); i < len && p[i] >= '0' && p[i] <= '9'; ++i) {
    n = n * 10 + static_cast<uint64_t>(p[i] - '0');
  }
  return n;
}

// Where the page text `text` ends its rows and how many it holds: the index
// of the "]" that closes them in `close` and the "returned" count in `got`,
// read back from the ending ],"offset":O,"limit":L,"returned":N}. False when
// the text does not end that way.
bool page_ending(std::string_view text, size_t* close, int64_t* got) {
  size_t at = text.size();
  if (at == 0 || text[--at] != '}') return false;
  int64_t returned = 0;
  for (const std::string_view key : {",\"returned\":", ",\"limit\":", ",\"offset\":"}) {
    const size_t digits_end = at;
    while (at > 0 && text[at - 1] >= '0' && text[at - 1] <= '9') --at;
    if (at == digits_end || at < key.size() || text.substr(at - key.size(), key.size()) != key) {
      return false;
    }
    if (key == ",\"returned\":") {
      for (size_t i = at; i < digits_end && returned < INT32_MAX; ++i) {
        returned = returned * 10 + (text[i] - '0');
      }
    }
    at -= key.size();
  }
  if (at == 0 || text[at - 1] != ']') return false;
  *close = at - 1;
  *got = returned;
  return true;
}

// The start of the last row of rows that end at `close` (the "]") of the
// library's page text: the "{" that opens the object whose "}" stands just
// before it, found by reading back. A quote belongs to a string's ends unless
// an odd run of backslashes stands before it, since the writer escapes both.
// npos when the text is not so.
size_t last_row_start(std::string_view text, size_t close) {
  if (close == 0 || text[close - 1] != '}') return std::string_view::npos;
  size_t depth = 0;
  bool in_string = false;
  for (size_t i = close; i-- > 0;) {
    const char c = text[i];
    if (in_string) {
      if (c != '"') continue;
      size_t slashes = 0;
      while (slashes < i && text[i - 1 - slashes] == '\\') ++slashes;
      if (slashes % 2 == 0) in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '}' || c == ']') {
      ++depth;
    } else if ((c == '{' || c == '[') && --depth == 0) {
      return c == '{' ? i : std::string_view::npos;
    }
  }
  return std::string_view::npos;
}

// Sets page->rows_end for a page whose first `keep` rows stay, of `got` the
// library returned (at most one more): the end of the last kept row, found
// by writing the row after it and matching its text before the ending.
void find_rows_end(Page* page, size_t keep, size_t got) {
  page->rows_end = 0;
  const std::string_view text(page->text.get());
  size_t close = 0;
  int64_t returned = 0;
  if (!page_ending(text, &close, &returned) || got > keep + 1) return;
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
Pager Pager::for_typed_statement(int32_t handle, std::string sql) {
  Pager pager(handle, std::move(sql));
  pager.typed_planned_ = false;
  return pager;
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
bool Pager::plan_types(std::string* error) {
  if (typed_planned_) return true;
  typed_planned_ = true;
  const Result names(sqlr_query(handle_, sql_.c_str(), 0, 0));
  if (names == nullptr) return true;  // read() reports the statement's own failure
  const ParsedDoc doc = read_json(names.get(), YYJSON_READ_NUMBER_AS_RAW, error);
  yyjson_val* columns = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "columns");
  if (!yyjson_is_arr(columns) || yyjson_arr_size(columns) == 0) {
    error->clear();
    return true;
  }
  std::vector<std::string> list;
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(columns, i, n, v) list.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
  typed_sql_ = typed_statement(statement_body(sql_), list);
  typed_words_ = (list.size() + kBlobsPerMember - 1) / kBlobsPerMember;
  return true;
}

// See pager.h.
void Pager::page_size(int32_t limit, int32_t* want, int32_t* ask) const {
  *want = std::clamp<int32_t>(limit, 0, SQLR_MAX_PAGE_ROWS);
  *ask = *want == 0 ? 1 : std::min<int32_t>(*want + 1, SQLR_MAX_PAGE_ROWS);
  if (fits_ > 1 && *ask > fits_) {
    // An earlier page had to be halved: start where it ended, with one row
    // beyond, rather than be refused again.
    *want = fits_ - 1;
    *ask = fits_;
  }
}

// See pager.h. A statement's probe asks SELECT 1 FROM (statement), whose
// rows SQLite steps over without computing their columns; the statement
// itself where SQLite refuses that form.
bool Pager::probe(const std::string& sql, const Page& page, int64_t at, int64_t got, bool* more,
                  std::string* error) const {
  std::string probe_key, probe_sql;
  if (by_key() && !cursor_of(page.rows.back(), key_columns_.size(), &probe_key, error)) {
    return false;
  }
  if (!statement_after(probe_key, &probe_sql, error)) return false;
  const int64_t next = by_key() ? 0 : at + got;
  Result text;
  bool unused_halved = false;
  int32_t unused_asked = 0;
  std::string why;
  bool read = false;
  if (table_.name.empty()) {
    const std::string counted = "SELECT 1 FROM (\n" + std::string(statement_body(sql)) + "\n)";
    read = fetch_text(counted, next, 1, &text, &unused_halved, &unused_asked, &why);
  }
  if (!read) read = fetch_text(probe_sql, next, 1, &text, &unused_halved, &unused_asked, &why);
  size_t close = 0;
  int64_t returned = 0;
  if (read && page_ending(text.get(), &close, &returned)) {
    *more = returned > 0;
  } else if (read) {
    *error = "unexpected page from the library";
    return false;
  } else if (why == SQLR_MSG_RESULT_TOO_LARGE) {
    *more = true;  // a row too large to read is still a row
  } else {
    *error = why;
    return false;
  }
  return true;
}

// See pager.h.
bool Pager::fetch_text(const std::string& sql, int64_t offset, int32_t ask, Result* text,
                       bool* halved, int32_t* asked, std::string* error) const {
  if (offset > INT32_MAX) {
    *error = "the offset passes the largest one the library takes (2147483647)";
    return false;
  }
  *halved = false;
  for (;;) {
    text->reset(sqlr_query(handle_, sql.c_str(), static_cast<int32_t>(offset), ask));
    if (*text != nullptr) break;
    std::string why = last_error();
    if (why != SQLR_MSG_RESULT_TOO_LARGE || ask <= 1) {
      *error = std::move(why);
      return false;
    }
    ask /= 2;
    *halved = true;
  }
  *asked = ask;
  return true;
}

// See pager.h.
bool Pager::fetch(const std::string& sql, int64_t offset, int32_t ask, Page* page, bool* halved,
                  int32_t* asked, std::string* error) const {
  Result text;
  if (!fetch_text(sql, offset, ask, &text, halved, asked, error)) return false;
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
  page->rows.reserve(n);
  yyjson_arr_foreach(rows, i, n, v) page->rows.push_back(v);
  return true;
}

// See pager.h. The page's rows are the library's; `more` comes from the row
// asked beyond them, or, after halving, from the larger page's refusal (it
// held more rows than the smaller one that came back full).
bool Pager::read(int64_t offset, const std::string& key, int32_t limit, Page* page,
                 std::string* error) {
  if (!plan(error) || !plan_types(error)) return false;
  int32_t want = 0, ask = 0;
  page_size(limit, &want, &ask);
  std::string sql;
  if (!statement_after(key, &sql, error)) return false;
  const int64_t at = key.empty() ? offset : 0;
  bool halved = false;
  int32_t asked = 0;
  bool typed = !typed_sql_.empty();
  if (typed && !fetch(typed_sql_, at, ask, page, &halved, &asked, error)) {
    // SQLite may refuse the typed form (an EXPLAIN it did not see as one, too
    // many columns): then the statement itself, whose message counts.
    if (error->rfind("prepare failed", 0) != 0 && error->rfind("query rejected", 0) != 0) {
      return false;
    }
    typed_sql_.clear();
    typed = false;
  }
  if (!typed && !fetch(sql, at, ask, page, &halved, &asked, error)) return false;
  if (halved) fits_ = asked;
  const auto got = static_cast<int64_t>(page->rows.size());
  const int64_t keep = std::min<int64_t>(got, want);
  bool more = false;
  if (halved || ask > want) {
    // One row beyond the page, or a full page where a larger one was refused.
    more = got > want || (halved && got == asked);
  } else if (got == want && !probe(sql, *page, at, got, &more, error)) {
    // A page of the library's most rows cannot carry one beyond: asked once more.
    return false;
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
  if (!by_key() && !typed) find_rows_end(page, static_cast<size_t>(keep), static_cast<size_t>(got));
  page->rows.resize(static_cast<size_t>(keep));
  page->blob_bits.clear();
  page->blob_words = 0;
  yyjson_val* root = yyjson_doc_get_root(page->doc.get());
  const size_t words = typed ? typed_words_ : 0;
  const size_t parts = by_key() ? key_columns_.size() : words;
  if (typed) {
    // The marks are the row's last `words` members.
    page->blob_words = words;
    page->blob_bits.reserve(page->rows.size() * words);
    for (yyjson_val* row : page->rows) {
      const size_t skip = yyjson_obj_size(row) >= words ? yyjson_obj_size(row) - words : 0;
      yyjson_obj_iter it = yyjson_obj_iter_with(row);
      for (size_t i = 0; yyjson_val* k = yyjson_obj_iter_next(&it); ++i) {
        if (i >= skip) page->blob_bits.push_back(blob_word(yyjson_obj_iter_get_val(k)));
      }
      page->blob_bits.resize(page->blob_bits.size() + words -
                             std::min(words, yyjson_obj_size(row)));
    }
  }
  if (parts > 0) {
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

// See pager.h.
bool Pager::read_text(int64_t offset, int32_t limit, Page* page, std::string* error) {
  if (!table_.name.empty()) {
    *error = "text pages are read of statements only";
    return false;
  }
  int32_t want = 0, ask = 0;
  page_size(limit, &want, &ask);
  bool halved = false;
  int32_t asked = 0;
  if (!fetch_text(sql_, offset, ask, &page->text, &halved, &asked, error)) return false;
  return finish_text_page(offset, want, ask, halved, asked, page, error);
}

// See pager.h. A statement SQLite refuses in its typed form pages untyped,
// as read() does.
bool Pager::read_typed_text(int64_t offset, int32_t limit, Page* page, std::string* error) {
  if (!table_.name.empty()) {
    *error = "text pages are read of statements only";
    return false;
  }
  if (!plan_types(error)) return false;
  if (typed_sql_.empty()) return read(offset, "", limit, page, error);
  int32_t want = 0, ask = 0;
  page_size(limit, &want, &ask);
  bool halved = false;
  int32_t asked = 0;
  if (!fetch_text(typed_sql_, offset, ask, &page->text, &halved, &asked, error)) {
    if (error->rfind("prepare failed", 0) != 0 && error->rfind("query rejected", 0) != 0) {
      return false;
    }
    typed_sql_.clear();
    return read(offset, "", limit, page, error);
  }
  if (!finish_text_page(offset, want, ask, halved, asked, page, error)) return false;
  page->blob_words = typed_words_;
  return true;
}

// See pager.h.
bool Pager::finish_text_page(int64_t offset, int32_t want, int32_t ask, bool halved, int32_t asked,
                             Page* page, std::string* error) {
  if (halved) fits_ = asked;
  page->doc.reset();
  page->columns.clear();
  page->rows.clear();
  page->blob_bits.clear();
  page->blob_words = 0;
  page->next_key.clear();
  const std::string_view text(page->text.get());
  size_t close = 0;
  int64_t got = 0;
  if (!page_ending(text, &close, &got)) {
    *error = "unexpected page from the library";
    return false;
  }
  const int64_t keep = std::min<int64_t>(got, want);
  bool more = false;
  if (halved || ask > want) {
    more = got > want || (halved && got == asked);
  } else if (got == want && !probe(sql_, *page, offset, got, &more, error)) {
    return false;
  }
  page->rows_end = close;
  if (got > keep) {
    const size_t start = last_row_start(text, close);
    if (start == std::string_view::npos || got != keep + 1 ||
        text[start - 1] != (keep > 0 ? ',' : '[')) {
      *error = "unexpected page from the library";
      return false;
    }
    page->rows_end = keep > 0 ? start - 1 : start;
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
  const std::string ending = page_json_ending(*page, limit);
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

// See pager.h.
std::string page_json_ending(const Page& page, int64_t limit) {
  return "],\"offset\":" + std::to_string(page.offset) + ",\"limit\":" + std::to_string(limit) +
         ",\"returned\":" + std::to_string(page.next_offset - page.offset) + "}";
}

}  // namespace kestrova::tools
