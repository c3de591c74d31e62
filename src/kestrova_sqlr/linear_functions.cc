#include "kestrova_sqlr/linear_functions.h"

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrova::sqlr {

namespace {

// Finds a needle in a stream of bytes with a prefix table (Knuth-Morris-Pratt):
// each haystack byte is looked at a bounded number of times on average, so a
// search is linear whatever the shape of the two arguments. The table is taken
// from the engine's heap, so the engine's memory bound applies to it.
class Finder {
 public:
  // `needle` (not owned) must outlive the finder and hold `size` > 0 bytes.
  Finder(const unsigned char* needle, uint64_t size) noexcept : needle_(needle), size_(size) {}
  ~Finder() { sqlite3_free(border_); }
  Finder(const Finder&) = delete;
  Finder& operator=(const Finder&) = delete;

  // Builds the table; false when there is no memory for it.
  bool prepare() noexcept {
    border_ = static_cast<uint32_t*>(sqlite3_malloc64(size_ * sizeof(uint32_t)));
    if (border_ == nullptr) return false;
    border_[0] = 0;
    uint32_t k = 0;
    for (uint64_t i = 1; i < size_; ++i) {
      while (k > 0 && needle_[i] != needle_[k]) k = border_[k - 1];
      if (needle_[i] == needle_[k]) ++k;
      border_[i] = k;
    }
    return true;
  }

  // Returns the offset of the first match that starts at `from` or later in
  // `hay` (`size` bytes) and is accepted by `accept(offset)`, or -1. Matches
  // may overlap one another; the ones `accept` refuses are passed over.
  template <typename Accept>
  int64_t find(const unsigned char* hay, uint64_t size, uint64_t from,
               Accept accept) const noexcept {
    uint64_t matched = 0;  // bytes of the needle matched just before hay[i]
    uint64_t i = from;
    while (i < size) {
      if (matched == 0) {
        // Nothing started yet: skip straight to the needle's first byte.
        const void* next = std::memchr(hay + i, needle_[0], static_cast<size_t>(size - i));
        if (next == nullptr) return -1;
        i = static_cast<uint64_t>(static_cast<const unsigned char*>(next) - hay);
      }
      while (matched > 0 && hay[i] != needle_[matched]) matched = border_[matched - 1];
      if (hay[i] == needle_[matched]) ++matched;
      ++i;
      if (matched == size_) {
        const uint64_t start = i - size_;
        if (accept(start)) return static_cast<int64_t>(start);
        matched = border_[matched - 1];
      }
    }
    return -1;
  }

 private:
  const unsigned char* needle_;
  uint64_t size_;
  uint32_t* border_ = nullptr;  // owned, from sqlite3_malloc64
};

// Frees the copies of mixed BLOB and text arguments on every path.
struct ValueCopies {
  sqlite3_value* haystack = nullptr;
  sqlite3_value* needle = nullptr;
  ~ValueCopies() {
    sqlite3_value_free(haystack);
    sqlite3_value_free(needle);
  }
};

// instr(X,Y): the 1-based position of the first Y in X, 0 when there is none,
// NULL when either is NULL, 1 for an empty Y. Bytes when both are BLOBs;
// otherwise both are read as UTF-8 text and the position counts characters,
// where a match may only start on the first byte of X or on a byte that is not
// a UTF-8 continuation byte.
void instr_function(sqlite3_context* ctx, int, sqlite3_value** argv) noexcept {
  const int hay_type = sqlite3_value_type(argv[0]);
  const int needle_type = sqlite3_value_type(argv[1]);
  if (hay_type == SQLITE_NULL || needle_type == SQLITE_NULL) return;
  int hay_size = sqlite3_value_bytes(argv[0]);
  int needle_size = sqlite3_value_bytes(argv[1]);
  if (needle_size <= 0) {
    sqlite3_result_int(ctx, 1);
    return;
  }
  const unsigned char* hay = nullptr;
  const unsigned char* needle = nullptr;
  bool text = true;
  ValueCopies copies;
  if (hay_type == SQLITE_BLOB && needle_type == SQLITE_BLOB) {
    hay = static_cast<const unsigned char*>(sqlite3_value_blob(argv[0]));
    needle = static_cast<const unsigned char*>(sqlite3_value_blob(argv[1]));
    text = false;
  } else if (hay_type != SQLITE_BLOB && needle_type != SQLITE_BLOB) {
    hay = sqlite3_value_text(argv[0]);
    needle = sqlite3_value_text(argv[1]);
  } else {
    // One BLOB and one not: both are read as text, the BLOB's bytes as they are.
    copies.haystack = sqlite3_value_dup(argv[0]);
    hay = sqlite3_value_text(copies.haystack);
    if (hay == nullptr) return sqlite3_result_error_nomem(ctx);
    hay_size = sqlite3_value_bytes(copies.haystack);
    copies.needle = sqlite3_value_dup(argv[1]);
    needle = sqlite3_value_text(copies.needle);
    if (needle == nullptr) return sqlite3_result_error_nomem(ctx);
    needle_size = sqlite3_value_bytes(copies.needle);
  }
  if (needle == nullptr || (hay_size > 0 && hay == nullptr)) return sqlite3_result_error_nomem(ctx);
  if (needle_size > hay_size) {
    sqlite3_result_int(ctx, 0);
    return;
  }
  Finder finder(needle, static_cast<uint64_t>(needle_size));
  if (!finder.prepare()) return sqlite3_result_error_nomem(ctx);
  const auto at_char_start = [&](uint64_t start) {
    return !text || start == 0 || (hay[start] & 0xc0) != 0x80;
  };
  const int64_t start = finder.find(hay, static_cast<uint64_t>(hay_size), 0, at_char_start);
  if (start < 0) {
    sqlite3_result_int(ctx, 0);
    return;
  }
  if (!text) {
    sqlite3_result_int(ctx, static_cast<int>(start + 1));
    return;
  }
  // The characters before the match: every byte after the first that does not
  // continue a UTF-8 sequence starts one.
  int position = 1;
  for (int64_t i = 1; i <= start; ++i) {
    if ((hay[i] & 0xc0) != 0x80) ++position;
  }
  sqlite3_result_int(ctx, position);
}

// replace(X,Y,Z): X as text with every Y, from left to right and without
// overlap, replaced by Z. NULL when X or Y is NULL; X when Y is empty (even
// with Z NULL); otherwise NULL when Z is NULL. A result longer than the
// connection's length limit is the "string or blob too big" error. The
// matches are counted first, so the result is allocated once at its size and
// one that is too long is refused before any of it is built.
void replace_function(sqlite3_context* ctx, int, sqlite3_value** argv) noexcept {
  const unsigned char* str = sqlite3_value_text(argv[0]);
  if (str == nullptr) return;
  const int str_size = sqlite3_value_bytes(argv[0]);
  const unsigned char* pattern = sqlite3_value_text(argv[1]);
  if (pattern == nullptr) return;
  if (pattern[0] == 0) {
    sqlite3_result_text(ctx, reinterpret_cast<const char*>(str), str_size, SQLITE_TRANSIENT);
    return;
  }
  const int pattern_size = sqlite3_value_bytes(argv[1]);
  const unsigned char* rep = sqlite3_value_text(argv[2]);
  if (rep == nullptr) return;
  const int rep_size = sqlite3_value_bytes(argv[2]);

  // As the built-in, X itself and its terminator must fit under the limit.
  const int64_t limit = sqlite3_limit(sqlite3_context_db_handle(ctx), SQLITE_LIMIT_LENGTH, -1);
  if (static_cast<int64_t>(str_size) + 1 > limit) return sqlite3_result_error_toobig(ctx);
  Finder finder(pattern, static_cast<uint64_t>(pattern_size));
  if (!finder.prepare()) return sqlite3_result_error_nomem(ctx);

  const uint64_t size = static_cast<uint64_t>(str_size);
  const auto any = [](uint64_t) { return true; };
  int64_t matches = 0;
  for (int64_t at = finder.find(str, size, 0, any); at >= 0;
       at = finder.find(str, size, static_cast<uint64_t>(at) + static_cast<uint64_t>(pattern_size),
                        any)) {
    ++matches;
  }
  if (matches == 0) {
    sqlite3_result_text(ctx, reinterpret_cast<const char*>(str), str_size, SQLITE_TRANSIENT);
    return;
  }
  // Both factors are below 2^31, so the product fits in 64 bits.
  const int64_t length = static_cast<int64_t>(str_size) + matches * (rep_size - pattern_size);
  if (length > limit) return sqlite3_result_error_toobig(ctx);
  auto* out = static_cast<unsigned char*>(sqlite3_malloc64(static_cast<uint64_t>(length) + 1));
  if (out == nullptr) return sqlite3_result_error_nomem(ctx);

  uint64_t written = 0;
  uint64_t from = 0;  // the first byte of `str` not yet copied
  for (;;) {
    const int64_t found = finder.find(str, size, from, any);
    const uint64_t copy_to = found < 0 ? size : static_cast<uint64_t>(found);
    std::memcpy(out + written, str + from, static_cast<size_t>(copy_to - from));
    written += copy_to - from;
    if (found < 0) break;
    std::memcpy(out + written, rep, static_cast<size_t>(rep_size));
    written += static_cast<uint64_t>(rep_size);
    from = copy_to + static_cast<uint64_t>(pattern_size);
  }
  out[written] = 0;
  sqlite3_result_text64(ctx, reinterpret_cast<const char*>(out), written, sqlite3_free,
                        SQLITE_UTF8);
}

}  // namespace

int sqlr_linear_functions_register(sqlite3* db) noexcept {
  constexpr int kFlags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  int rc = sqlite3_create_function_v2(db, "instr", 2, kFlags, nullptr, instr_function, nullptr,
                                      nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  return sqlite3_create_function_v2(db, "replace", 3, kFlags, nullptr, replace_function, nullptr,
                                    nullptr, nullptr);
}

}  // namespace kestrova::sqlr
