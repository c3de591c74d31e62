// Where a statement's text ends, so that a host can put a person's statement
// inside one of its own (SELECT 1 FROM (...), WITH ... AS (...)): the
// statement with its end (semicolons, comments) left off.
#ifndef KESTROVA_SQLR_TOOLS_COMMON_SQL_TEXT_H_
#define KESTROVA_SQLR_TOOLS_COMMON_SQL_TEXT_H_

#include <string>
#include <string_view>

namespace kestrova::tools {

// `sql` up to the end of its first statement's last token: the whitespace,
// comments and semicolons after it left off, so that the text can be put in
// parentheses. Strings, quoted names and comments are skipped as SQLite's
// tokenizer skips them. When anything but whitespace, comments and semicolons
// follows the first semicolon (a second statement), `sql` comes back whole:
// the library refuses it as it stands.
std::string_view statement_body(std::string_view sql);

// The position just past the string, quoted name or comment that starts at
// `i` of `sql` ('...', "...", `...`, [...], -- to the end of the line, /* */),
// running to the end when unterminated; `i` itself when none starts there.
size_t quoted_token_end(std::string_view sql, size_t i);

}  // namespace kestrova::tools

#endif  // KESTROVA_SQLR_TOOLS_COMMON_SQL_TEXT_H_
