// Recursive-descent JSON reader (RFC 8259) for the tool's table and row output.
#include "json_tree.h"

#include <cstdint>

namespace kestrova_cli {
namespace {

// The library's documents nest three deep; the bound only keeps a hostile
// text from exhausting the stack.
constexpr int kMaxDepth = 64;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  // Parses the whole text as one value; false with error() set otherwise.
  bool document(JsonValue* out) {
    skip_space();
    if (!value(out, 0)) return false;
    skip_space();
    if (pos_ != text_.size()) return fail("text after the document");
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  // Records the first failure and its byte position; always false.
  bool fail(const char* what) {
    if (error_.empty()) error_ = std::string(what) + " at byte " + std::to_string(pos_);
    return false;
  }

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  // Consumes the literal word `w` (true, false, null).
  bool word(std::string_view w) {
    if (text_.substr(pos_, w.size()) != w) return fail("unknown word");
    pos_ += w.size();
    return true;
  }

  // Parses one value starting at pos_ (no leading space) into `out`.
  bool value(JsonValue* out, int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    if (pos_ >= text_.size()) return fail("unexpected end");
    const size_t start = pos_;
    bool ok = false;
    switch (text_[pos_]) {
      case '{':
        out->kind = JsonValue::Kind::kObject;
        ok = object(out, depth);
        break;
      case '[':
        out->kind = JsonValue::Kind::kArray;
        ok = array(out, depth);
        break;
      case '"':
        out->kind = JsonValue::Kind::kString;
        ok = string(&out->str);
        break;
      case 't':
        out->kind = JsonValue::Kind::kTrue;
        ok = word("true");
        break;
      case 'f':
        out->kind = JsonValue::Kind::kFalse;
        ok = word("false");
        break;
      case 'n':
        out->kind = JsonValue::Kind::kNull;
        ok = word("null");
        break;
      default:
        out->kind = JsonValue::Kind::kNumber;
        ok = number();
        break;
    }
    out->raw = text_.substr(start, pos_ - start);
    return ok;
  }

  bool object(JsonValue* out, int depth) {
    ++pos_;  // {
    skip_space();
    if (peek('}')) {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_space();
      if (!peek('"')) return fail("expected a member name");
      out->keys.emplace_back();
      if (!string(&out->keys.back())) return false;
      skip_space();
      if (!peek(':')) return fail("expected ':'");
      ++pos_;
      skip_space();
      out->items.emplace_back();
      if (!value(&out->items.back(), depth + 1)) return false;
      skip_space();
      if (peek(',')) {
        ++pos_;
        continue;
      }
      if (peek('}')) {
        ++pos_;
        return true;
      }
      return fail("expected ',' or '}'");
    }
  }

  bool array(JsonValue* out, int depth) {
    ++pos_;  // [
    skip_space();
    if (peek(']')) {
      ++pos_;
      return true;
    }
    for (;;) {
      skip_space();
      out->items.emplace_back();
      if (!value(&out->items.back(), depth + 1)) return false;
      skip_space();
      if (peek(',')) {
        ++pos_;
        continue;
      }
      if (peek(']')) {
        ++pos_;
        return true;
      }
      return fail("expected ',' or ']'");
    }
  }

  // Consumes a run of at least one decimal digit.
  bool digits() {
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  // Checks the number grammar; the text itself is kept through `raw`.
  bool number() {
    if (peek('-')) ++pos_;
    if (peek('0')) {
      ++pos_;
    } else if (!digits()) {
      return fail("expected a value");
    }
    if (peek('.')) {
      ++pos_;
      if (!digits()) return fail("expected digits after '.'");
    }
    if (peek('e') || peek('E')) {
      ++pos_;
      if (peek('+') || peek('-')) ++pos_;
      if (!digits()) return fail("expected exponent digits");
    }
    return true;
  }

  // Reads four hex digits of a \u escape.
  bool hex4(uint32_t* unit) {
    if (text_.size() - pos_ < 4) return fail("short \\u escape");
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return fail("bad \\u escape");
      }
    }
    *unit = v;
    return true;
  }

  // Appends code point `cp` as UTF-8.
  static void put_utf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // Decodes the escape after a backslash into `out`. A lone surrogate becomes
  // U+FFFD rather than a failure: the text is only ever displayed.
  bool escape(std::string* out) {
    if (pos_ >= text_.size()) return fail("unterminated string");
    const char c = text_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out->push_back(c);
        return true;
      case 'b':
        out->push_back('\b');
        return true;
      case 'f':
        out->push_back('\f');
        return true;
      case 'n':
        out->push_back('\n');
        return true;
      case 'r':
        out->push_back('\r');
        return true;
      case 't':
        out->push_back('\t');
        return true;
      case 'u': {
        uint32_t unit = 0;
        if (!hex4(&unit)) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
          const size_t back = pos_;
          pos_ += 2;
          uint32_t low = 0;
          if (!hex4(&low)) return false;
          if (low >= 0xDC00 && low <= 0xDFFF) {
            put_utf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
            return true;
          }
          pos_ = back;  // not a pair: the second escape stands alone
        }
        put_utf8(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit, out);
        return true;
      }
      default:
        return fail("bad escape");
    }
  }

  // Reads a string starting at its opening quote into `out`, decoded.
  bool string(std::string* out) {
    ++pos_;  // "
    for (;;) {
      const size_t run = pos_;
      while (pos_ < text_.size() && text_[pos_] != '"' && text_[pos_] != '\\' &&
             static_cast<unsigned char>(text_[pos_]) >= 0x20) {
        ++pos_;
      }
      out->append(text_.substr(run, pos_ - run));
      if (pos_ >= text_.size()) return fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') return fail("control character in string");
      if (!escape(out)) return false;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

// Linear search: the objects read here are rows and frames of a few members.
const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind != Kind::kObject) return nullptr;
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] == key) return &items[i];
  }
  return nullptr;
}

// See json_tree.h.
bool parse_json(std::string_view text, JsonValue* out, std::string* error) {
  *out = JsonValue{};
  Parser parser(text);
  if (parser.document(out)) return true;
  *error = parser.error();
  return false;
}

}  // namespace kestrova_cli
