// A token walker: it tracks only whether it is inside a string, so it needs no
// parse and cannot change a value.
#include "json_pretty.h"

namespace kestrova_cli {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Index of the first non-space byte at or after `i`.
size_t next_token(std::string_view s, size_t i) {
  while (i < s.size() && is_space(s[i])) ++i;
  return i;
}

void newline(std::string* out, int depth) {
  out->push_back('\n');
  out->append(static_cast<size_t>(depth > 0 ? depth : 0) * 2, ' ');
}

}  // namespace

// See json_pretty.h.
std::string pretty_json(std::string_view json) {
  std::string out;
  out.reserve(json.size() + json.size() / 2);
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (in_string) {
      out.push_back(c);
      if (c == '\\' && i + 1 < json.size()) {
        out.push_back(json[++i]);  // the escaped byte cannot end the string
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        out.push_back(c);
        break;
      case '{':
      case '[': {
        const size_t next = next_token(json, i + 1);
        const char close = c == '{' ? '}' : ']';
        out.push_back(c);
        if (next < json.size() && json[next] == close) {
          out.push_back(close);
          i = next;
        } else {
          newline(&out, ++depth);
        }
        break;
      }
      case '}':
      case ']':
        newline(&out, --depth);
        out.push_back(c);
        break;
      case ',':
        out.push_back(c);
        newline(&out, depth);
        break;
      case ':':
        out.append(": ");
        break;
      default:
        if (!is_space(c)) out.push_back(c);
        break;
    }
  }
  return out;
}

}  // namespace kestrova_cli
