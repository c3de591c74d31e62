// search: the rows of a full-text table (or of the table a full-text table
// indexes) that hold a person's words; grep: every text value of every table
// that holds a text.
#ifndef KESTROVA_SQLR_TOOLS_CLI_SEARCH_H_
#define KESTROVA_SQLR_TOOLS_CLI_SEARCH_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova::tools::cli {

// Matches grep shows of one table at most (the rest is said on stderr).
constexpr int64_t kGrepMatchesPerTable = 100;
// Characters of a matched value grep shows, around the match.
constexpr int64_t kGrepValueChars = 60;
// The longest text grep takes (its LIKE pattern must stay within the library's bound).
constexpr size_t kGrepMaxTextBytes = 400;

// `text` as a full-text query that finds rows holding every word of it: each
// whitespace-separated word as a quoted string, so that no word is read as
// query syntax (AND, NEAR, *, -, column filters). For FTS3/4 (`fts5` false),
// whose strings have no escape, double quotes are dropped from the words.
// False when `text` holds no word.
bool full_text_query(std::string_view text, bool fts5, std::string* query);

// The read statement that searches table `table` for the words of `text`:
// `table` is a full-text table (FTS5 rows ranked by bm25, best first;
// FTS3/4 in rowid order), or a table that an external-content full-text table
// indexes (its rows, in the same order). The first column is the rowid.
// False with the reason in `error`.
bool search_statement(int32_t handle, const std::string& table, std::string_view text,
                      std::string* sql, std::string* error);

// Searches every text value of every table (and full-text table holding its
// own text) for `text`, as LIKE does (ASCII letters without regard to case),
// at most kGrepMatchesPerTable matches per table, each table in one statement
// under the library's deadline. `json` receives one page in the library's
// shape with the columns table, column, rowid (null for a WITHOUT ROWID
// table) and value (cut to the part around the match). A table that fails (a
// module this build lacks) is said on stderr and passed over. False with the
// reason in `error`.
bool grep_tables(int32_t handle, std::string_view text, std::string* json, std::string* error);

}  // namespace kestrova::tools::cli

#endif  // KESTROVA_SQLR_TOOLS_CLI_SEARCH_H_
