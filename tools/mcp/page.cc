// The library writes a page as
//   {"columns":[..],"rows":[row,row,..],"offset":O,"limit":L,"returned":N}
// compact, with yyjson and no flags. Rows read back with their numbers kept
// as raw text and written again with the same writer come out byte for byte
// as they went in, so the page is rebuilt from its parts: the columns, the
// rows that fit, and an ending that names the caller's limit.
#include "mcp/page.h"

#include <algorithm>
#include <string>

#include "common/json.h"
#include "common/library.h"
#include "kestrova_sqlite_reader.h"

namespace kestrova::tools::mcp {
namespace {

// No row is shorter than {"":0} and its comma, so no more rows than the
// budget over this can fit; there is no use asking the library for more.
constexpr size_t kMinRowBytes = 7;

// Room for the page's ending: ],"offset":O,"limit":L,"returned":N}.
constexpr size_t kEndingBytes = 64;

// The page's ending for `offset`, `limit` and `returned` rows.
std::string page_ending(int32_t offset, int32_t limit, int64_t returned) {
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

// Finds the ending the library gave a page asked for with `offset` and `ask`
// rows: sets `rows_end` to where it starts (at the "]" that closes the rows)
// and `returned` to its count. False when the text does not end that way.
bool find_ending(std::string_view text, int32_t offset, int32_t ask, size_t* rows_end,
                 int64_t* returned) {
  const std::string_view key = ",\"returned\":";
  const size_t at = text.rfind(key);
  if (at == text.npos || text.size() < at + key.size() + 2 || text.back() != '}') return false;
  const std::string_view digits = text.substr(at + key.size(), text.size() - 1 - at - key.size());
  int64_t n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9' || n > SQLR_MAX_PAGE_ROWS) return false;
    n = n * 10 + (c - '0');
  }
  const std::string ending = page_ending(offset, ask, n);
  if (text.size() < ending.size() || text.substr(text.size() - ending.size()) != ending) {
    return false;
  }
  *rows_end = text.size() - ending.size();
  *returned = n;
  return true;
}

}  // namespace

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
               const ResultBudget& budget, Page* page, std::string* error) {
  const size_t room = budget.max_bytes > kResultOverhead ? budget.max_bytes - kResultOverhead : 0;
  // One row past the page tells whether more follow. The library returns at
  // most SQLR_MAX_PAGE_ROWS, so a page holds one row fewer at most.
  int64_t want = 0;
  if (limit > 0) {
    want = std::min<int64_t>(
        {limit, static_cast<int64_t>(room / kMinRowBytes), SQLR_MAX_PAGE_ROWS - 1});
    want = std::max<int64_t>(want, 1);
  }
  int32_t ask = limit > 0 ? static_cast<int32_t>(want + 1) : 0;
  // A page past the library's 100 MB cap is asked for again at half the
  // size. Once a larger page has failed, a smaller one that comes back full
  // is known to be followed by more rows.
  bool halved = false;
  Result text;
  for (;;) {
    text.reset(sqlr_query(handle, sql.c_str(), offset, ask));
    if (text != nullptr) break;
    std::string why = last_error();
    if (why != SQLR_MSG_RESULT_TOO_LARGE || ask <= 1) {
      *error = why == SQLR_MSG_RESULT_TOO_LARGE
                   ? row_too_large(offset, "passes the 100 MB limit of one result")
                   : why;
      return false;
    }
    ask /= 2;
    want = ask;
    halved = true;
  }

  // Most pages fit whole: the library's text, up to its ending, or up to the
  // row read past the page, is then the page as it stands.
  const std::string_view whole(text.get());
  size_t rows_end = 0;
  int64_t returned = -1;
  const bool known_ending = find_ending(whole, offset, ask, &rows_end, &returned);
  const auto take_whole = [&](size_t end, int64_t kept, bool more) {
    // JSON text holds no raw control character, so escaping at most doubles
    // it: a page well within the budget needs no count of its quotes.
    const size_t at_most = 2 * end + (budget.twice ? end : 0);
    if (at_most + kEndingBytes > room && budget.cost(whole.substr(0, end)) + kEndingBytes > room) {
      return false;
    }
    page->json.assign(whole.substr(0, end));
    page->json += page_ending(offset, limit, kept);
    page->returned = kept;
    page->more = more;
    page->next_offset = static_cast<int64_t>(offset) + kept;
    return true;
  };
  if (known_ending && returned <= want && take_whole(rows_end, returned, halved)) return true;

  const ParsedDoc doc = read_json(whole, YYJSON_READ_NUMBER_AS_RAW, error);
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  yyjson_val* columns = yyjson_obj_get(root, "columns");
  yyjson_val* rows = yyjson_obj_get(root, "rows");
  if (known_ending && returned == want + 1 && returned >= 2 && yyjson_is_arr(rows)) {
    // Where the row past the page begins: its text, as the library wrote it,
    // stands just before the ending, after a comma.
    std::string last;
    if (write_json(yyjson_arr_get_last(rows), YYJSON_WRITE_NOFLAG, &last, error) &&
        rows_end > last.size() && whole[rows_end - last.size() - 1] == ',' &&
        whole.substr(rows_end - last.size(), last.size()) == last &&
        take_whole(rows_end - last.size() - 1, want, true)) {
      return true;
    }
  }
  std::string columns_text;
  if (!yyjson_is_arr(columns) || !yyjson_is_arr(rows) ||
      !write_json(columns, YYJSON_WRITE_NOFLAG, &columns_text, error)) {
    if (error->empty()) *error = "unexpected page from the library";
    return false;
  }
  std::string& out = page->json;
  out = "{\"columns\":" + columns_text + ",\"rows\":[";
  size_t spent = budget.cost(out) + kEndingBytes;
  if (spent > room) {
    *error = "the column names alone take " + std::to_string(spent + kResultOverhead) +
             " bytes of an answer limited to " + std::to_string(budget.max_bytes) +
             " bytes: select fewer columns, or name them with shorter aliases";
    return false;
  }
  const size_t available = yyjson_arr_size(rows);
  const size_t keep_at_most = std::min<size_t>(available, static_cast<size_t>(want));
  size_t kept = 0;
  yyjson_arr_iter it = yyjson_arr_iter_with(rows);
  std::string row_text;
  for (; kept < keep_at_most; ++kept) {
    yyjson_val* row = yyjson_arr_iter_next(&it);
    if (!write_json(row, YYJSON_WRITE_NOFLAG, &row_text, error)) return false;
    const size_t cost = budget.cost(row_text) + (kept > 0 ? budget.cost(",") : 0);
    if (spent + cost > room) {
      if (kept == 0) {
        *error = row_too_large(offset, "needs " + std::to_string(cost + spent + kResultOverhead) +
                                           " bytes of an answer limited to " +
                                           std::to_string(budget.max_bytes) + " bytes");
        return false;
      }
      page->cut = true;
      break;
    }
    spent += cost;
    if (kept > 0) out.push_back(',');
    out += row_text;
  }
  out += page_ending(offset, limit, static_cast<int64_t>(kept));
  page->returned = static_cast<int64_t>(kept);
  page->more = halved || available > kept;
  page->next_offset = static_cast<int64_t>(offset) + page->returned;
  return true;
}

}  // namespace kestrova::tools::mcp
