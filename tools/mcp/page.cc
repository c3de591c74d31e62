// read_query's page comes from the shared pager, which knows whether more
// rows follow and halves a page at the library's cap; this file fits it to
// the answer's budget. A page that fits is written whole from the library's
// rows (numbers kept as their text, so each row is byte for byte the
// library's); one that does not is cut at the last row that fits.
#include "mcp/page.h"

#include <algorithm>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/pager.h"
#include "kestrova_sqlite_reader.h"
#include "mcp/answer.h"

namespace kestrova::tools::mcp {
namespace {

// No row is shorter than {"":0} and its comma, so no more rows than the
// budget over this can fit; there is no use asking the library for more.
constexpr size_t kMinRowBytes = 7;

// Room for the page's ending: ],"offset":O,"limit":L,"returned":N}.
constexpr size_t kEndingBytes = 64;

// The page's ending for `offset`, `limit` and `returned` rows.
std::string page_ending(int64_t offset, int32_t limit, int64_t returned) {
  return "],\"offset\":" + std::to_string(offset) + ",\"limit\":" + std::to_string(limit) +
         ",\"returned\":" + std::to_string(returned) + "}";
}

// What the assistant is told when the row at `offset` alone cannot be sent;
// `why` says how big it is.
std::string row_too_large(int64_t offset, const std::string& why) {
  return "the row at offset " + std::to_string(offset) + " alone " + why +
         ": select fewer columns, or shorten long values with substr(column, 1, N) "
         "(length(column) tells how long they are)";
}

// The characters of UTF-8 `text`: its bytes that do not continue one.
size_t char_count(std::string_view text) {
  size_t n = 0;
  for (char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Appends `value` as JSON to `out`, a text cut as `shape` says.
bool append_value(yyjson_val* value, const PageShape& shape, std::string* out, std::string* error) {
  std::string text;
  if (shape.max_cell_chars > 0 && yyjson_is_str(value) &&
      yyjson_get_len(value) > static_cast<size_t>(shape.max_cell_chars)) {
    const BuiltDoc cell(yyjson_mut_doc_new(nullptr));
    const std::string cut = cut_cell(std::string_view(yyjson_get_str(value), yyjson_get_len(value)),
                                     shape.max_cell_chars);
    yyjson_mut_doc_set_root(cell.get(), yyjson_mut_strn(cell.get(), cut.data(), cut.size()));
    if (!write_json(cell.get(), YYJSON_WRITE_NOFLAG, &text, error)) return false;
  } else if (!write_json(value, YYJSON_WRITE_NOFLAG, &text, error)) {
    return false;
  }
  *out += text;
  return true;
}

// Writes the library's row `row` (an object in column order) as `shape`
// says into `out`.
bool shaped_row(yyjson_val* row, const PageShape& shape, std::string* out, std::string* error) {
  if (!shape.rewrites()) return write_json(row, YYJSON_WRITE_NOFLAG, out, error);
  out->assign(shape.arrays ? "[" : "{");
  size_t i, n;
  yyjson_val *key, *value;
  yyjson_obj_foreach(row, i, n, key, value) {
    if (i > 0) *out += ',';
    if (!shape.arrays) {
      if (!append_value(key, PageShape{}, out, error)) return false;
      *out += ':';
    }
    if (!append_value(value, shape, out, error)) return false;
  }
  *out += shape.arrays ? ']' : '}';
  return true;
}

// Row `i`'s storage classes, one letter per column (n, i, r, t, b): from
// each value's JSON (a number is a real when its text has a point or an
// exponent) and the page's BLOB marks; empty on an untyped page.
std::string row_types(const Page& page, size_t i) {
  std::string letters;
  yyjson_obj_iter it = yyjson_obj_iter_with(page.rows[i]);
  for (size_t c = 0; yyjson_val* key = yyjson_obj_iter_next(&it); ++c) {
    yyjson_val* v = yyjson_obj_iter_get_val(key);
    if (yyjson_is_raw(v)) {
      const std::string_view raw(yyjson_get_raw(v), yyjson_get_len(v));
      letters.push_back(raw.find_first_of(".eE") == raw.npos ? 'i' : 'r');
    } else if (yyjson_is_str(v)) {
      letters.push_back(page.is_blob(i, c) ? 'b' : 't');
    } else {
      letters.push_back('n');
    }
  }
  return letters;
}

}  // namespace

// See mcp_page.h.
std::string cut_cell(std::string_view text, int32_t max_chars) {
  if (max_chars <= 0 || text.size() <= static_cast<size_t>(max_chars)) return std::string(text);
  size_t chars = 0, at = 0;
  for (; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 &&
        chars++ == static_cast<size_t>(max_chars)) {
      break;
    }
  }
  if (at == text.size()) return std::string(text);  // no longer in characters
  return std::string(text.substr(0, at)) + std::string(kCutMark) + "[" +
         std::to_string(char_count(text)) + " chars]";
}

// See mcp_page.h. yyjson escapes '"', '\\' and the control characters, the
// common ones in two bytes and the rest as \u00XX; every other byte is kept.
size_t escaped_size(std::string_view text) {
  size_t n = text.size();
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      n += 1;
    } else if (c < 0x20) {
      n += (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') ? 1 : 5;
    }
  }
  return n;
}

// See mcp_page.h.
size_t ResultBudget::cost(std::string_view text) const {
  return escaped_size(text) + (twice ? text.size() : 0);
}

// See mcp_page.h.
bool read_page(int32_t handle, const std::string& sql, int32_t offset, int32_t limit,
               const PageShape& shape, const ResultBudget& budget, AnswerPage* answer,
               std::string* error) {
  const size_t room = budget.max_bytes > kResultOverhead ? budget.max_bytes - kResultOverhead : 0;
  int32_t want = 0;
  if (limit > 0) {
    want = static_cast<int32_t>(
        std::max<int64_t>(1, std::min<int64_t>(limit, static_cast<int64_t>(room / kMinRowBytes))));
  }
  Pager pager =
      shape.types ? Pager::for_typed_statement(handle, sql) : Pager::for_statement(handle, sql);
  Page page;
  if (!pager.read(offset, "", want, &page, error)) {
    if (*error == SQLR_MSG_RESULT_TOO_LARGE) {
      *error = row_too_large(offset, "passes the 100 MB limit of one result");
    }
    return false;
  }
  const size_t available = page.rows.size();
  // The storage classes, when the page has them, are written once, as JSON.
  const bool typed = page.blob_words > 0;
  std::vector<std::string> types;
  for (size_t i = 0; typed && i < available; ++i) types.push_back(row_types(page, i));
  const auto types_bytes = [&](size_t row) { return types[row].size() + kTypesRowBytes; };
  size_t all_types = typed ? kTypesFrameBytes : 0;
  for (size_t i = 0; typed && i < available; ++i) all_types += types_bytes(i);

  // Most pages fit whole, and in the library's own shape are written from
  // its text.
  std::string& out = answer->json;
  if (!shape.rewrites() && !write_page_json(&page, limit, &out, error)) return false;
  // JSON text holds no raw control character, so escaping at most doubles
  // it: a page well within the budget needs no count of its quotes.
  const size_t at_most = 2 * out.size() + (budget.twice ? out.size() : 0);
  if (!shape.rewrites() && (at_most + all_types <= room || budget.cost(out) + all_types <= room)) {
    answer->returned = static_cast<int64_t>(available);
    answer->types = std::move(types);
    // A page of no rows asked for none: there is no next page to point to.
    answer->more = limit > 0 && page.more;
    answer->next_offset = page.next_offset;
    return true;
  }

  std::string columns_text;
  yyjson_val* columns = yyjson_obj_get(yyjson_doc_get_root(page.doc.get()), "columns");
  if (!write_json(columns, YYJSON_WRITE_NOFLAG, &columns_text, error)) return false;
  out = "{\"columns\":" + columns_text + ",\"rows\":[";
  size_t spent = budget.cost(out) + kEndingBytes + (typed ? kTypesFrameBytes : 0);
  if (spent > room) {
    *error = "the column names alone take " + std::to_string(spent + kResultOverhead) +
             " bytes of an answer limited to " + std::to_string(budget.max_bytes) +
             " bytes: select fewer columns, or name them with shorter aliases";
    return false;
  }
  size_t kept = 0;
  std::string row_text;
  for (; kept < available; ++kept) {
    if (!shaped_row(page.rows[kept], shape, &row_text, error)) return false;
    const size_t cost =
        budget.cost(row_text) + (kept > 0 ? budget.cost(",") : 0) + (typed ? types_bytes(kept) : 0);
    if (spent + cost > room) {
      if (kept == 0) {
        *error = row_too_large(offset, "needs " + std::to_string(cost + spent + kResultOverhead) +
                                           " bytes of an answer limited to " +
                                           std::to_string(budget.max_bytes) + " bytes");
        return false;
      }
      answer->cut = true;
      break;
    }
    spent += cost;
    if (kept > 0) out.push_back(',');
    out += row_text;
  }
  out += page_ending(offset, limit, static_cast<int64_t>(kept));
  if (typed) {
    types.resize(kept);
    answer->types = std::move(types);
  }
  answer->returned = static_cast<int64_t>(kept);
  answer->more = page.more || available > kept;
  answer->next_offset = static_cast<int64_t>(offset) + answer->returned;
  return true;
}

}  // namespace kestrova::tools::mcp
