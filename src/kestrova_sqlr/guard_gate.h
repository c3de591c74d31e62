// The guard's first layer, the statement gate (see guard_layers.h): decides
// from the SQL text alone, before SQLite sees it, whether a text is one read
// statement, one UPDATE, one DELETE, or anything else. A keyword test over a
// lexical scan, not a parser.
#ifndef KESTROVA_SQLR_GUARD_GATE_H_
#define KESTROVA_SQLR_GUARD_GATE_H_

// The gate's verdict.
enum sqlr_sql_kind : int {
  SQLR_SQL_REJECT = 0,  // anything else, and every text holding a second statement
  SQLR_SQL_READ = 1,    // SELECT, VALUES, WITH ... SELECT/VALUES, EXPLAIN ...
  SQLR_SQL_UPDATE = 2,  // UPDATE, WITH ... UPDATE
  SQLR_SQL_DELETE = 3,  // DELETE, WITH ... DELETE
};

// The first position at or after `p` that is neither whitespace nor inside a
// comment; the position of the terminating NUL when the text ends first. Null
// for null. Never reads past the NUL.
const char* sqlr_skip_noise(const char* p) noexcept;

// The verdict for `sql` (NUL-terminated, may be null). Pure: keeps no state,
// allocates nothing, sets no error text. A text holding a second statement is
// refused whatever its first one is. Behind WITH, the main statement's keyword
// is found by a walk that reads names, square brackets, variables and
// identifier characters the way SQLite does, so that a common table named like
// a keyword ("explain", [select], t$select) cannot pose as the main statement.
int sqlr_classify_sql(const char* sql) noexcept;

// Lexical helpers of the gate, declared here so that tests can reach them.
namespace sqlr_scan {
// Passes over noise, the token there and the noise after it; returns the start
// of the next token (or the NUL). Never steps over a delimiter. `p` not null.
const char* next_token(const char* p) noexcept;
// 1 when the lower-case keyword `kw` stands at `p` as a whole word, else 0.
int kw_eq(const char* p, const char* kw) noexcept;
}  // namespace sqlr_scan

#endif  // KESTROVA_SQLR_GUARD_GATE_H_
