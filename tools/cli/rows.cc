// The library's JSON does not say which strings are BLOBs: the typed form
// asks SQLite itself, in the same statement, so that the answer belongs to the
// very row it describes:
//
//   WITH kestrova_sqlr_page(c1, c2) AS (<statement>)
//   SELECT c1, c2, (typeof(c1) = 'blob') || (typeof(c2) = 'blob') FROM kestrova_sqlr_page
//
// The column names come from the statement put inside a SELECT with LIMIT 0,
// which compiles it but runs none of it; SQLite renames repeated names there
// ("a", "a:1"), and then the statement itself is asked for a page of no rows.
#include "cli/rows.h"

#include "cli/sql_text.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::cli {
namespace {

constexpr const char* kPageName = "kestrova_sqlr_page";

// The names in the "columns" of the page whose root is `root`; false with
// the reason in `error`.
bool columns_of(yyjson_val* root, std::vector<std::string>* names, std::string* error) {
  yyjson_val* columns = yyjson_obj_get(root, "columns");
  if (!yyjson_is_arr(columns)) {
    if (error->empty()) *error = "unexpected page from the library: no columns";
    return false;
  }
  names->clear();
  size_t i, n;
  yyjson_val* name;
  yyjson_arr_foreach(columns, i, n, name) {
    names->emplace_back(yyjson_is_str(name) ? yyjson_get_str(name) : "");
  }
  return true;
}

// The names of the page `json` in `names`; false with the reason in `error`.
bool page_columns(std::string_view json, std::vector<std::string>* names, std::string* error) {
  const ParsedDoc doc = read_json(json, YYJSON_READ_NUMBER_AS_RAW, error);
  return columns_of(yyjson_doc_get_root(doc.get()), names, error);
}

// `terms` joined by " || " as a balanced tree, so that the expression's depth
// grows with the logarithm of the column count, far below SQLite's limit.
std::string concatenated(const std::vector<std::string>& terms, size_t from, size_t to) {
  if (to - from == 1) return terms[from];
  const size_t mid = from + (to - from) / 2;
  return "(" + concatenated(terms, from, mid) + " || " + concatenated(terms, mid, to) + ")";
}

// The typed form of `body` for `count` columns (see the top of this file).
std::string typed_statement(std::string_view body, size_t count) {
  std::string names;
  std::vector<std::string> flags;
  for (size_t i = 1; i <= count; ++i) {
    const std::string c = "c" + std::to_string(i);
    names += (i > 1 ? ", " : "") + c;
    flags.push_back("(typeof(" + c + ") = 'blob')");
  }
  return std::string("WITH ") + kPageName + "(" + names + ") AS (\n" + std::string(body) +
         "\n) SELECT " + names + ", " + concatenated(flags, 0, flags.size()) + " FROM " + kPageName;
}

// A number as written by the library: a real has a point or an exponent.
ValueKind number_kind(std::string_view raw) {
  return raw.find_first_of(".eE") == raw.npos ? ValueKind::kInteger : ValueKind::kReal;
}

// `v` as a Value; a string is a BLOB when `blob`.
Value value_of(yyjson_val* v, bool blob) {
  switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_RAW: {
      const std::string_view raw(yyjson_get_raw(v), yyjson_get_len(v));
      return {number_kind(raw), raw};
    }
    case YYJSON_TYPE_STR:
      return {blob ? ValueKind::kBlob : ValueKind::kText,
              std::string_view(yyjson_get_str(v), yyjson_get_len(v))};
    default:
      return {};
  }
}

// Reads the page `json` into `page`, at most `limit` rows of it. With
// `typed_columns`, the page is of the typed form: its names are those, and
// each row's last value marks its BLOBs.
bool fill_page(std::string_view json, const std::vector<std::string>* typed_columns, int32_t limit,
               RowPage* page, std::string* error) {
  page->doc = read_json(json, YYJSON_READ_NUMBER_AS_RAW, error);
  yyjson_val* root = yyjson_doc_get_root(page->doc.get());
  yyjson_val* rows = yyjson_obj_get(root, "rows");
  if (!yyjson_is_arr(rows)) {
    if (error->empty()) *error = "unexpected page from the library: no rows";
    return false;
  }
  if (typed_columns == nullptr) {
    if (!columns_of(root, &page->columns, error)) return false;
  } else {
    page->columns = *typed_columns;
  }
  const size_t width = page->columns.size();
  const bool typed = typed_columns != nullptr;
  page->returned = yyjson_arr_size(rows);
  page->objects.clear();
  page->values.clear();
  page->objects.reserve(page->returned);
  page->values.reserve(page->returned * width);
  std::vector<yyjson_val*> cells;
  size_t i, n;
  yyjson_val* row;
  yyjson_arr_foreach(rows, i, n, row) {
    if (page->objects.size() == static_cast<size_t>(limit)) break;
    page->objects.push_back(row);
    // By position: two columns may share a name. The last value of a typed
    // row says which of the others are BLOBs.
    cells.clear();
    yyjson_obj_iter it = yyjson_obj_iter_with(row);
    while (yyjson_val* key = yyjson_obj_iter_next(&it))
      cells.push_back(yyjson_obj_iter_get_val(key));
    std::string_view blobs;
    if (typed && cells.size() > width && yyjson_is_str(cells[width])) {
      blobs = std::string_view(yyjson_get_str(cells[width]), yyjson_get_len(cells[width]));
    }
    for (size_t c = 0; c < width; ++c) {
      page->values.push_back(
          c < cells.size() ? value_of(cells[c], c < blobs.size() && blobs[c] == '1') : Value{});
    }
  }
  page->offset = 0;
  page->more = false;
  page->next_offset = static_cast<int64_t>(page->rows());
  return true;
}

}  // namespace

// See rows.h.
bool page_from_json(std::string_view json, RowPage* page, std::string* error) {
  return fill_page(json, nullptr, SQLR_MAX_PAGE_ROWS, page, error);
}

// See rows.h.
bool row_follows(int32_t handle, const std::string& sql, int32_t offset, bool* follows,
                 std::string* error) {
  const std::string counted = "SELECT 1 FROM (\n" + std::string(statement_body(sql)) + "\n)";
  Result next(sqlr_query(handle, counted.c_str(), offset, 1));
  if (next == nullptr) next.reset(sqlr_query(handle, sql.c_str(), offset, 1));
  if (next == nullptr) {
    *error = last_error();
    return false;
  }
  const ParsedDoc doc = read_json(next.get(), YYJSON_READ_NUMBER_AS_RAW, error);
  *follows = yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "rows")) > 0;
  return true;
}

// See rows.h.
size_t base64_size(std::string_view b64) {
  size_t pad = 0;
  while (pad < 2 && pad < b64.size() && b64[b64.size() - 1 - pad] == '=') ++pad;
  return b64.size() / 4 * 3 - pad;
}

RowSource::RowSource(int32_t handle, std::string sql, bool typed)
    : handle_(handle), sql_(std::move(sql)), prepared_(!typed) {}

// See rows.h: one call that runs nothing, a second only for repeated names.
bool RowSource::prepare(std::string* error) {
  prepared_ = true;
  const std::string_view body = statement_body(sql_);
  const std::string names_sql = "SELECT * FROM (\n" + std::string(body) + "\n) LIMIT 0";
  const Result names(sqlr_query(handle_, names_sql.c_str(), 0, 0));
  bool renamed = names == nullptr || !page_columns(names.get(), &columns_, error);
  for (const auto& name : columns_) renamed = renamed || name.find(':') != name.npos;
  if (renamed) {
    const Result plain(sqlr_query(handle_, sql_.c_str(), 0, 0));
    if (plain == nullptr) {
      *error = last_error();
      return false;
    }
    if (!page_columns(plain.get(), &columns_, error)) return false;
    // Not SQL that fits inside another: it runs as it is.
    if (names == nullptr) return true;
  }
  typed_sql_ = typed_statement(body, columns_.size());
  return true;
}

// See rows.h.
bool RowSource::read(int64_t offset, int32_t limit, bool ask_more, RowPage* page,
                     std::string* error) {
  if (offset > INT32_MAX) {
    *error = "more rows than an offset can reach (2147483647); the rest cannot be paged";
    return false;
  }
  if (!prepared_ && !prepare(error)) return false;
  const bool beyond = ask_more && limit > 0 && limit < SQLR_MAX_PAGE_ROWS;
  const int32_t asked = beyond ? limit + 1 : limit;
  Result result;
  for (;;) {
    const std::string& sql = typed_sql_.empty() ? sql_ : typed_sql_;
    result.reset(sqlr_query(handle_, sql.c_str(), static_cast<int32_t>(offset), asked));
    if (result != nullptr) break;
    *error = last_error();
    // The typed form is SQLite's to refuse (too many columns, an EXPLAIN it
    // did not see as one): then the statement itself, whose message counts.
    if (typed_sql_.empty() || error->rfind("prepare failed:", 0) != 0) return false;
    typed_sql_.clear();
  }
  if (!fill_page(result.get(), typed_sql_.empty() ? nullptr : &columns_, limit, page, error)) {
    return false;
  }
  page->offset = offset;
  page->next_offset = offset + static_cast<int64_t>(page->rows());
  page->more = beyond && page->returned > static_cast<size_t>(limit);
  if (ask_more && !beyond && limit > 0 && page->rows() == static_cast<size_t>(limit)) {
    // A page of the largest size: one more call for the row after it.
    if (page->next_offset > INT32_MAX) {
      page->more = true;
      return true;
    }
    return row_follows(handle_, sql_, static_cast<int32_t>(page->next_offset), &page->more, error);
  }
  return true;
}

}  // namespace kestrova::tools::cli
