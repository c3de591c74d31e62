// The library writes a page as
//   {"columns":[..],"rows":[row,row,..],"offset":O,"limit":L,"returned":N}
// compact, with yyjson and no flags. Rows read back with their numbers kept
// as raw text and written again with the same writer come out byte for byte
// as they went in, so the page is rebuilt from its parts: the columns, the
// rows that fit, and an ending that names the caller's limit.
#include "mcp_page.h"

#include <algorithm>
#include <string>

#include "json_doc.h"
#include "kestrova_sqlite_reader.h"
#include "sqlr_handle.h"

namespace kestrova_cli {
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

  const JsonDoc doc = read_json(text.get(), YYJSON_READ_NUMBER_AS_RAW, error);
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  yyjson_val* columns = yyjson_obj_get(root, "columns");
  yyjson_val* rows = yyjson_obj_get(root, "rows");
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

}  // namespace kestrova_cli
