// The compile cost of an SQL text, judged before SQLite compiles it. SQLite
// consults no deadline while it compiles, and some shapes (a CASE of many
// arms, a long chain of common tables) compile in time that grows with the
// square of their length. That time grows with the number of tokens, not of
// bytes: a 100 MB string literal is one token and compiles at once.
#ifndef KESTROVA_SQLR_SQL_COST_H_
#define KESTROVA_SQLR_SQL_COST_H_

#include <cstdint>

namespace kestrova::sqlr {

// The number of tokens in `sql` (NUL-terminated, not null), counted up to
// `max` + 1 and no further. A string literal, a quoted or bracketed name, a
// word or a number counts one; each other character outside whitespace and
// comments (an operator, a parenthesis) counts one; an unterminated literal or
// comment runs to the end of the text. One pass, each byte read at most once.
int64_t sqlr_sql_tokens(const char* sql, int64_t max) noexcept;

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_SQL_COST_H_
