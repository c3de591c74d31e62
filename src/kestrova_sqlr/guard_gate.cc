#include "kestrova_sqlr/guard_gate.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kestrova::sqlr {

// The gate reads SQL text as bytes. Character classes are fixed tables rather
// than <cctype> calls, because a host process may have switched the locale and
// the verdict must not depend on it: 0xA0 or 0xE9 must never become whitespace
// or a word character.
//
// Two scanners live here. The statement scan and the token helpers follow the
// simple lexical rules of the gate (three quote characters, comments,
// parentheses). The common-table walk, which has to find the keyword of the
// main statement behind a WITH list, reads the text more like SQLite's own
// tokenizer does (square brackets, identifier characters, variables, the byte
// order mark), because there a disagreement with the engine about where a name
// ends can turn a DELETE into a READ verdict.

namespace {

// Class bits, one byte per character.
constexpr uint8_t kSpace = 1 << 0;       // the six C-locale whitespace characters
constexpr uint8_t kWord = 1 << 1;        // A-Z, a-z, 0-9, underscore
constexpr uint8_t kIdent = 1 << 2;       // word characters, '$' and 0x80-0xFF (SQLite's IdChar)
constexpr uint8_t kScanStop = 1 << 3;    // bytes the statement scan must look at
constexpr uint8_t kTokenStop = 1 << 4;   // bytes that may end a token in next_token
constexpr uint8_t kSuffixStop = 1 << 5;  // bytes that end a variable's "(...)" suffix

// Builds the class table at compile time from explicit ranges.
constexpr auto make_class_table() {
  struct Table {
    uint8_t bits[256];
  } t{};
  const char spaces[] = {' ', '\t', '\n', '\v', '\f', '\r'};
  for (char c : spaces) t.bits[static_cast<unsigned char>(c)] |= kSpace | kTokenStop;
  for (int c = 'a'; c <= 'z'; ++c) t.bits[c] |= kWord | kIdent;
  for (int c = 'A'; c <= 'Z'; ++c) t.bits[c] |= kWord | kIdent;
  for (int c = '0'; c <= '9'; ++c) t.bits[c] |= kWord | kIdent;
  t.bits[static_cast<unsigned char>('_')] |= kWord | kIdent;
  t.bits[static_cast<unsigned char>('$')] |= kIdent;
  for (int c = 0x80; c <= 0xFF; ++c) t.bits[c] |= kIdent;
  const char scan_stops[] = {'\0', '\'', '"', '`', '(', ')', '-',
                             '/',  ';',  '[', '$', '@', ':', '#'};
  for (char c : scan_stops) t.bits[static_cast<unsigned char>(c)] |= kScanStop;
  // A hyphen only ends a token when a second one follows; next_token checks that.
  const char token_stops[] = {'\0', '/', '(', ')', ',', ';', '-'};
  for (char c : token_stops) t.bits[static_cast<unsigned char>(c)] |= kTokenStop;
  for (char c : spaces) t.bits[static_cast<unsigned char>(c)] |= kSuffixStop;
  t.bits[0] |= kSuffixStop;
  t.bits[static_cast<unsigned char>(')')] |= kSuffixStop;
  return t;
}

constexpr auto kClass = make_class_table();

inline uint8_t class_of(char c) { return kClass.bits[static_cast<unsigned char>(c)]; }
inline bool is_space(char c) { return (class_of(c) & kSpace) != 0; }
inline bool is_word(char c) { return (class_of(c) & kWord) != 0; }
inline bool is_ident(char c) { return (class_of(c) & kIdent) != 0; }
inline bool is_quote(char c) { return c == '\'' || c == '"' || c == '`'; }

// The position of the NUL that ends the text holding `p`.
inline const char* end_of(const char* p) { return p + std::strlen(p); }

// The searches below are given the end of the text (the position of its NUL)
// and use memchr rather than strchr: a checking build may make strchr measure
// the whole rest of the text on each call, and a text of many short runs would
// then take quadratic time there.

// The first `c` in [p, end), or null.
inline const char* find_byte(const char* p, const char* end, char c) {
  return static_cast<const char*>(std::memchr(p, c, static_cast<size_t>(end - p)));
}

// `p` is just past the "--" of a line comment. Returns the line feed that ends
// it, or null when the comment runs to the end of the text.
inline const char* line_comment_end(const char* p, const char* end) {
  return find_byte(p, end, '\n');
}

// `p` is just past the "/*" of a block comment. Returns the position after the
// closing "*/", or null when the comment is unterminated. The asterisk of the
// opening pair lies before `p`, so "/*/" does not close.
const char* block_comment_end(const char* p, const char* end) {
  for (;;) {
    p = find_byte(p, end, '*');
    if (p == nullptr) return nullptr;
    if (p[1] == '/') return p + 2;  // p[0] is '*', so p[1] is at most the NUL
    ++p;
  }
}

// `p` is at an opening quote character. Returns the position after the
// closing one (a doubled quote stands for one character and does not close),
// or null when the text ends inside the run.
const char* quoted_run_end(const char* p, const char* end) {
  const char q = *p;
  ++p;
  for (;;) {
    p = find_byte(p, end, q);
    if (p == nullptr) return nullptr;
    if (p[1] != q) return p + 1;
    p += 2;  // a doubled quote
  }
}

// `p` is at '['. Returns the position after the first ']', or null when the
// text ends first. Brackets have no doubling rule.
const char* bracketed_run_end(const char* p, const char* end) {
  const char* close = find_byte(p + 1, end, ']');
  return close == nullptr ? nullptr : close + 1;
}

// sqlr_skip_noise for a text whose end is known, or null when it is not yet:
// it is then measured only if a comment is met.
const char* skip_noise(const char* p, const char* end) {
  for (;;) {
    const char c = *p;
    if (c == '\0') return p;
    if (is_space(c)) {
      ++p;
    } else if (c == '-' && p[1] == '-') {
      if (end == nullptr) end = end_of(p + 2);
      const char* lf = line_comment_end(p + 2, end);
      if (lf == nullptr) return end;
      p = lf;  // passed over as whitespace on the next round
    } else if (c == '/' && p[1] == '*') {
      if (end == nullptr) end = end_of(p + 2);
      const char* after = block_comment_end(p + 2, end);
      if (after == nullptr) return end;
      p = after;
    } else {
      return p;
    }
  }
}

// The end of the run of identifier characters (letters, digits, '_', '$' and
// bytes 0x80-0xFF) that starts at `p`; `p` itself when there is none.
inline const char* ident_run_end(const char* p) {
  while (is_ident(*p)) ++p;
  return p;
}

// True when the three bytes of a UTF-8 byte order mark start at `p`. SQLite's
// tokenizer takes a BOM at a token start for whitespace.
inline bool is_bom(const char* p) {
  return static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
         static_cast<unsigned char>(p[2]) == 0xBF;  // stops at the first mismatch, so at a NUL
}

// Noise as the common-table walk sees it: whitespace, comments and byte order
// marks. Returns the first position that is none of them, or the NUL at `end`.
const char* skip_walk_noise(const char* p, const char* end) {
  for (;;) {
    p = skip_noise(p, end);
    if (!is_bom(p)) return p;
    p += 3;
  }
}

// `p` is just past the '(' that opens a variable's suffix. Returns the first
// ')', whitespace or NUL from there: the suffix is whole only when it is a ')'.
inline const char* suffix_stop_at(const char* p) {
  while (!(class_of(*p) & kSuffixStop)) ++p;
  return p;
}

// `p` is at '$', '@', ':' or '#' at the start of a token: SQLite reads a
// variable there. Its name is a run of identifier characters in which "::" may
// appear; after a non-empty name, a '(' opens a suffix that runs to the first
// ')' (inclusive), and parentheses or quotes inside it count for nothing.
// Returns the position after the variable, or null when the suffix meets
// whitespace or the end of the text first (SQLite refuses such a token).
const char* variable_end(const char* p) {
  int name_chars = 0;
  ++p;
  for (;;) {
    const char c = *p;
    if (is_ident(c)) {
      ++name_chars;
      ++p;
    } else if (c == '(' && name_chars > 0) {
      p = suffix_stop_at(p + 1);
      return *p == ')' ? p + 1 : nullptr;
    } else if (c == ':' && p[1] == ':') {
      p += 2;
    } else {
      return p;
    }
  }
}

// Skips noise and then one common-table name: a whole quoted or bracketed run,
// else the longest run of identifier characters (possibly empty). The name is
// never tested as a keyword, so a table called "explain", [select] or
// t$select cannot pose as the main statement. Returns null when a quoted or
// bracketed name is unterminated. `end` is the position of the text's NUL.
const char* skip_cte_name(const char* p, const char* end) {
  p = skip_walk_noise(p, end);
  if (is_quote(*p)) return quoted_run_end(p, end);
  if (*p == '[') return bracketed_run_end(p, end);
  return ident_run_end(p);
}

// The verdict for the main-statement keyword that is exactly the identifier
// run [p, end), or -1 when the run is none of the seven keywords.
int main_keyword_verdict(const char* p, const char* end) {
  using scan::kw_eq;
  const std::ptrdiff_t len = end - p;
  if (len == 6) {
    if (kw_eq(p, "select") || kw_eq(p, "values")) return SQLR_SQL_READ;
    if (kw_eq(p, "update")) return SQLR_SQL_UPDATE;
    if (kw_eq(p, "insert")) return SQLR_SQL_REJECT;
    if (kw_eq(p, "delete")) return SQLR_SQL_DELETE;
  } else if (len == 7) {
    if (kw_eq(p, "replace")) return SQLR_SQL_REJECT;
    if (kw_eq(p, "explain")) return SQLR_SQL_READ;
  }
  return -1;
}

// What the statement scan has learnt about the text ahead of it. The scan
// treats an unterminated bracket, and a variable whose suffix SQLite would
// refuse, as one ordinary character and goes on right after it, so the text
// that was searched in vain is read again; without these facts each later
// bracket or variable in that stretch would search it again to the same end,
// and a text of many of them would take time quadratic in its length.
struct ScanFacts {
  // Set once a search for ']' has reached the end of the text: no later
  // bracket can close either.
  bool brackets_unclosed = false;
  // The last suffix searched: every suffix opened by a '(' in
  // [suffix_open, suffix_stop) stops at suffix_stop, as no ')' or whitespace
  // lies between.
  const char* suffix_open;
  const char* suffix_stop;
  // The name of the last variable found refused by a full reading. Its bytes
  // are identifier characters and "::" pairs, and its reading steps on every
  // byte of [name_begin, name_end) but the second colon of each pair. A later
  // reading that steps on one of those identifier bytes has read one name
  // character and goes on exactly as that reading did, to the '(' at name_end
  // and the same refused suffix.
  const char* name_begin;
  const char* name_end;

  explicit ScanFacts(const char* begin)
      : suffix_open(begin), suffix_stop(begin), name_begin(begin), name_end(begin) {}
};

// variable_end for the statement scan, with the same results, reading no byte
// of a refused variable's name or suffix again. `p` is at '$', '@', ':' or '#'.
const char* scan_variable_end(const char* p, ScanFacts& facts) {
  const char* const name = p + 1;
  int name_chars = 0;
  p = name;
  for (;;) {
    const char c = *p;
    if (is_ident(c)) {
      if (p >= facts.name_begin && p < facts.name_end) return nullptr;
      ++name_chars;
      ++p;
    } else if (c == '(' && name_chars > 0) {
      if (p < facts.suffix_open || p >= facts.suffix_stop) {
        facts.suffix_open = p;
        facts.suffix_stop = suffix_stop_at(p + 1);
      }
      if (*facts.suffix_stop == ')') return facts.suffix_stop + 1;
      facts.name_begin = name;
      facts.name_end = p;
      return nullptr;
    } else if (c == ':' && p[1] == ':') {
      p += 2;
    } else {
      return p;
    }
  }
}

// Statement scan: true when the text from `p` to its NUL at `text_end` holds
// at most one statement, i.e. no semicolon at parenthesis depth 0 is followed
// by anything but noise.
// Quoted runs, comments and parentheses are respected; an unterminated run or
// comment swallows the rest of the text.
//
// A bracketed name and a variable are single tokens to SQLite, whatever they
// hold: a quote character or comment opener inside one must not start a run
// here, or a semicolon after it would go unseen ("SELECT 1 AS [a'];DELETE ..."
// is two statements). So both are passed over whole. A bracketed name that
// holds a semicolon is refused outright, as brackets never made a semicolon
// harmless ("SELECT [a;b] FROM t" stays refused). An unterminated bracket or a
// variable SQLite would not accept is an ordinary character.
//
// Each byte is read a bounded number of times, whatever the text (see
// ScanFacts).
bool is_single_statement(const char* p, const char* text_end) {
  const char* const begin = p;
  ScanFacts facts(begin);
  unsigned depth = 0;
  for (;;) {
    // Most bytes mean nothing here; pass over them four at a time.
    while (!(class_of(p[0]) & kScanStop)) {
      if (class_of(p[1]) & kScanStop) {
        p += 1;
        break;
      }
      if (class_of(p[2]) & kScanStop) {
        p += 2;
        break;
      }
      if (class_of(p[3]) & kScanStop) {
        p += 3;
        break;
      }
      p += 4;
    }
    switch (*p) {
      case '\0':
        return true;
      case '\'':
      case '"':
      case '`':
        p = quoted_run_end(p, text_end);
        if (p == nullptr) return true;
        break;
      case '(':
        // Runs of parentheses are common and hostile texts nest deep: take
        // a run in one go.
        do {
          ++depth;
          ++p;
        } while (*p == '(');
        break;
      case ')':
        do {
          if (depth > 0) --depth;
          ++p;
        } while (*p == ')');
        break;
      case '-':
        if (p[1] == '-') {
          p = line_comment_end(p + 2, text_end);  // the line feed is scanned as an ordinary byte
          if (p == nullptr) return true;
        } else {
          ++p;
        }
        break;
      case '/':
        if (p[1] == '*') {
          p = block_comment_end(p + 2, text_end);
          if (p == nullptr) return true;
        } else {
          ++p;
        }
        break;
      case ';':
        if (depth == 0) return *skip_noise(p + 1, text_end) == '\0';
        ++p;
        break;
      case '[': {
        const char* end = facts.brackets_unclosed ? nullptr : bracketed_run_end(p, text_end);
        if (end == nullptr) {
          facts.brackets_unclosed = true;
          ++p;
        } else {
          if (std::memchr(p, ';', static_cast<size_t>(end - p)) != nullptr) return false;
          p = end;
        }
        break;
      }
      case '$':
      case '@':
      case ':':
      case '#': {
        // '$' after an identifier character continues that identifier.
        const char* end =
            (*p == '$' && p > begin && is_ident(p[-1])) ? nullptr : scan_variable_end(p, facts);
        p = end != nullptr ? end : p + 1;
        break;
      }
      default:
        ++p;  // not reached: every stop byte has its case
        break;
    }
  }
}

// EXPLAIN rule; `start` is at EXPLAIN. EXPLAIN [QUERY [PLAN]] must be followed
// by SELECT, WITH or VALUES. An EXPLAIN never runs the statement it describes.
// Returns SQLR_SQL_EXPLAIN or SQLR_SQL_REJECT.
int classify_explain(const char* start) {
  using scan::kw_eq;
  using scan::next_token;
  const char* t = next_token(start);
  if (kw_eq(t, "query")) {
    t = next_token(t);
    if (kw_eq(t, "plan")) t = next_token(t);
  }
  if (kw_eq(t, "select") || kw_eq(t, "with") || kw_eq(t, "values")) return SQLR_SQL_EXPLAIN;
  return SQLR_SQL_REJECT;
}

// Common-table walk; `start` is at WITH, `end` at the text's NUL. Returns the verdict of the first
// of the seven main-statement keywords that stands as a whole identifier at parenthesis depth 0,
// outside quoted and bracketed runs, comments, variables and common-table names; REJECT when the
// text ends first or inside a run.
//
// The walk reads the text token by token the way SQLite splits it, so that a
// keyword is only seen where the engine would see one:
//  - square brackets quote, like the three quote characters;
//  - an identifier is a run of letters, digits, '_', '$' and bytes
//    0x80-0xFF, and only a run that is exactly a keyword counts;
//  - a variable ($a, :a, @a, #a) is passed over whole, including a "(...)"
//    suffix whose parentheses and quotes SQLite does not count;
//  - a byte order mark at a token start is whitespace;
//  - the name after WITH [RECURSIVE] and after each comma at depth 0 is a
//    common-table name and is passed over without a keyword test.
// The walk starts right after the letters of WITH (and of RECURSIVE), not at
// the next token: a token boundary can fall inside a quoted name such as
// "a "" select"" " written without a blank after WITH.
int classify_with(const char* start, const char* end) {
  using scan::kw_eq;
  // kw_eq matched the four letters of WITH; followed by '$' or a byte
  // 0x80-0xFF they are the start of a name to SQLite, and no WITH at all.
  if (ident_run_end(start) != start + 4) return SQLR_SQL_REJECT;
  const char* p = skip_walk_noise(start + 4, end);
  // After WITH, SQLite always reads RECURSIVE as the keyword, never as a name.
  if (kw_eq(p, "recursive") && ident_run_end(p) == p + 9) p += 9;
  p = skip_cte_name(p, end);
  unsigned depth = 0;
  // Noise is handled inline rather than through skip_walk_noise: this loop runs
  // once per token of the whole WITH list.
  while (p != nullptr) {
    const char c = *p;
    const uint8_t cls = class_of(c);
    if (cls & kSpace) {
      ++p;
      continue;
    }
    if ((cls & kIdent) && c != '$') {
      if (c == '\xEF' && is_bom(p)) {
        p += 3;
        continue;
      }
      const char* end = ident_run_end(p);
      if (depth == 0) {
        const int verdict = main_keyword_verdict(p, end);
        if (verdict >= 0) return verdict;
      }
      p = end;
      continue;
    }
    switch (c) {
      case '\0':
        return SQLR_SQL_REJECT;  // no main statement
      case '-':
        p = p[1] == '-' ? line_comment_end(p + 2, end) : p + 1;
        break;
      case '/':
        p = p[1] == '*' ? block_comment_end(p + 2, end) : p + 1;
        break;
      case '(':
        do {
          ++depth;
          ++p;
        } while (*p == '(');
        break;
      case ')':
        do {
          if (depth > 0) --depth;
          ++p;
        } while (*p == ')');
        break;
      case '\'':
      case '"':
      case '`':
        p = quoted_run_end(p, end);
        break;
      case '[':
        p = bracketed_run_end(p, end);
        break;
      case ',':
        ++p;
        if (depth == 0) p = skip_cte_name(p, end);
        break;
      case '$':
      case '@':
      case ':':
      case '#':
        p = variable_end(p);
        break;
      default:
        ++p;  // operators and other bytes that start no run
        break;
    }
  }
  // The text ended inside a comment or a quoted, bracketed or variable run.
  return SQLR_SQL_REJECT;
}

}  // namespace

const char* sqlr_skip_noise(const char* p) noexcept {
  return p == nullptr ? nullptr : skip_noise(p, nullptr);
}

int sqlr_classify_sql(const char* sql) noexcept {
  const int verdict = sqlr_gate_verdict(sql);
  return verdict == SQLR_SQL_EXPLAIN ? SQLR_SQL_READ : verdict;
}

int sqlr_gate_verdict(const char* sql) noexcept {
  using scan::kw_eq;
  if (sql == nullptr || *sql == '\0') return SQLR_SQL_REJECT;
  const char* start = sqlr_skip_noise(sql);
  if (*start == '\0') return SQLR_SQL_REJECT;
  const char* const end = end_of(start);
  // The whole text is checked for a second statement before any keyword is
  // looked at, so no verdict can be reached while a later statement hides.
  if (!is_single_statement(start, end)) return SQLR_SQL_REJECT;
  if (kw_eq(start, "explain")) return classify_explain(start);
  if (kw_eq(start, "with")) return classify_with(start, end);
  if (kw_eq(start, "select") || kw_eq(start, "values")) return SQLR_SQL_READ;
  if (kw_eq(start, "update")) return SQLR_SQL_UPDATE;
  if (kw_eq(start, "delete")) return SQLR_SQL_DELETE;
  return SQLR_SQL_REJECT;
}

namespace scan {

const char* next_token(const char* p) noexcept {
  if (p == nullptr) return nullptr;
  p = sqlr_skip_noise(p);
  for (;;) {
    if (class_of(*p) & kTokenStop) {
      if (*p != '-' || p[1] == '-') break;  // a single hyphen belongs to the token
    }
    ++p;
  }
  return sqlr_skip_noise(p);
}

int kw_eq(const char* p, const char* kw) noexcept {
  if (p == nullptr || kw == nullptr || *kw == '\0') return 0;
  std::size_t i = 0;
  for (; kw[i] != '\0'; ++i) {
    char c = p[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 0x20);
    // A NUL in the text differs from every keyword character, so the loop
    // stops there and never reads beyond it.
    if (c != kw[i]) return 0;
  }
  return is_word(p[i]) ? 0 : 1;
}

}  // namespace scan

}  // namespace kestrova::sqlr
