// Re-indents compact JSON text for people to read.
#ifndef KESTROVA_SQLR_TOOLS_JSON_PRETTY_H_
#define KESTROVA_SQLR_TOOLS_JSON_PRETTY_H_

#include <string>
#include <string_view>

namespace kestrova_cli {

// Returns `json` with one member or element per line, indented two spaces per
// level, a space after each ':', and empty {} and [] kept on one line. Only
// the whitespace between tokens changes: strings, numbers and words are copied
// byte for byte. Text that is not JSON comes out re-spaced but never dropped.
std::string pretty_json(std::string_view json);

}  // namespace kestrova_cli

#endif  // KESTROVA_SQLR_TOOLS_JSON_PRETTY_H_
