// The guard's first layer, the statement gate (see guard_layers.h): decides
// from the SQL text alone, before SQLite sees it, whether a text is one read
// statement (an EXPLAIN told apart), one UPDATE, one DELETE, or anything else.
// A keyword test over a lexical scan, not a parser.
#ifndef KESTROVA_SQLR_GUARD_GATE_H_
#define KESTROVA_SQLR_GUARD_GATE_H_

namespace kestrova::sqlr {

// The gate's verdict. sqlr_classify_sql gives 0 to 3, counting an EXPLAIN as
// a read; sqlr_gate_verdict tells it apart.
enum sqlr_sql_kind : int {
  SQLR_SQL_REJECT = 0,   // anything else, and every text holding a second statement
  SQLR_SQL_READ = 1,     // SELECT, VALUES, WITH ... SELECT/VALUES (and EXPLAIN ... for
                         // sqlr_classify_sql)
  SQLR_SQL_UPDATE = 2,   // UPDATE, WITH ... UPDATE
  SQLR_SQL_DELETE = 3,   // DELETE, WITH ... DELETE
  SQLR_SQL_EXPLAIN = 4,  // EXPLAIN [QUERY [PLAN]] of a read, from sqlr_gate_verdict only
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
// Returns SQLR_SQL_REJECT, SQLR_SQL_READ (also for an EXPLAIN),
// SQLR_SQL_UPDATE or SQLR_SQL_DELETE.
int sqlr_classify_sql(const char* sql) noexcept;

// The same verdict with EXPLAIN told apart, from the same single reading of
// the text: SQLR_SQL_EXPLAIN where sqlr_classify_sql gives SQLR_SQL_READ for a
// text that starts with EXPLAIN, which describes a statement and never runs
// it. Every other verdict is sqlr_classify_sql's.
int sqlr_gate_verdict(const char* sql) noexcept;

// Lexical helpers of the gate, declared here so that tests can reach them.
namespace scan {
// Passes over noise, the token there and the noise after it; returns the start
// of the next token (or the NUL). Never steps over a delimiter. `p` not null.
const char* next_token(const char* p) noexcept;
// 1 when the lower-case keyword `kw` stands at `p` as a whole word, else 0.
int kw_eq(const char* p, const char* kw) noexcept;
}  // namespace scan

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_GUARD_GATE_H_
