// The delimited writer's reading of the library's page text against its
// writing of the same page from a yyjson document: the two must give the
// same bytes, and the text reader must refuse what it does not expect.
#include "common/row_formats.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/json.h"

namespace kestrova::tools {
namespace {

// `page` (compact page text whose rows end in `words` members of BLOB marks)
// written from a document: the header, then each row.
std::string through_document(const std::string& page, size_t words, char delimiter) {
  std::string why;
  const ParsedDoc doc = read_json(page, YYJSON_READ_NUMBER_AS_RAW, &why);
  EXPECT_NE(doc, nullptr) << why;
  yyjson_val* root = yyjson_doc_get_root(doc.get());
  Page marks;
  marks.blob_words = words;
  std::vector<std::string> columns;
  size_t i, n;
  yyjson_val* v;
  yyjson_arr_foreach(yyjson_obj_get(root, "columns"), i, n, v) {
    if (i + words < n) columns.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
  }
  std::vector<yyjson_val*> rows;
  yyjson_arr_foreach(yyjson_obj_get(root, "rows"), i, n, v) {
    rows.push_back(v);
    yyjson_obj_iter it = yyjson_obj_iter_with(v);
    for (size_t m = 0; yyjson_val* key = yyjson_obj_iter_next(&it); ++m) {
      if (m >= columns.size()) {
        yyjson_val* mark = yyjson_obj_iter_get_val(key);
        marks.blob_bits.push_back(
            std::stoull(std::string(yyjson_get_raw(mark), yyjson_get_len(mark))));
      }
    }
  }
  marks.rows = rows;
  DelimitedRows writer(delimiter);
  std::string out;
  writer.header(columns, page_blob_columns(marks, columns.size()), &out);
  for (size_t r = 0; r < rows.size(); ++r) {
    writer.row(
        rows[r], columns.size(), [&](size_t c) { return marks.is_blob(r, c); }, &out);
  }
  return out;
}

// `page` written from its text, as the command line writes it; false when
// the reader refuses the text.
bool through_text(const std::string& page, size_t words, char delimiter, std::string* out) {
  std::vector<std::string> columns;
  std::vector<std::string_view> spelled;
  size_t at = 0;
  if (!read_text_columns(page, &columns, &spelled, &at) || columns.size() < words) return false;
  const std::string_view text = std::string_view(page).substr(0, page.rfind(']'));
  columns.resize(columns.size() - words);
  DelimitedRows writer(delimiter);
  std::vector<uint64_t> marks(words), any(words);
  for (size_t pass = 0; pass < 2; ++pass) {
    size_t i = at;
    while (i < text.size()) {
      if (!writer.text_row(text, &i, columns.size(), words, marks.data(), pass ? &spelled : nullptr,
                           pass ? out : nullptr)) {
        return false;
      }
      for (size_t w = 0; w < words; ++w) any[w] |= marks[w];
      if (i < text.size() && text[i++] != ',') return false;
    }
    if (pass == 0) {
      std::vector<bool> blobs(columns.size());
      for (size_t c = 0; c < columns.size(); ++c) blobs[c] = (any[c / 62] >> (c % 62) & 1) != 0;
      writer.header(columns, blobs, out);
    }
  }
  return true;
}

TEST(DelimitedTextTest, TextGivesTheDocumentsBytes) {
  // Each page: its column names, its rows (with one member of marks each).
  const struct {
    const char* columns;
    const char* rows;
  } kPages[] = {
      {R"("a","b")", R"({"a":"caf\u00e9","b":"\ud83d\ude00 smile","kestrova_sqlr_blobs":0})"},
      {R"("a")", R"({"a":"x\u0000cut","kestrova_sqlr_blobs":0},{"a":"","kestrova_sqlr_blobs":0})"},
      {R"("a")", R"({"a":null,"kestrova_sqlr_blobs":0},{"a":0,"kestrova_sqlr_blobs":0})"},
      {R"("n","n","n")",
       R"({"n":1,"n":"two","n":null,"kestrova_sqlr_blobs":0},{"n":-0.0,"n":2e300,"n":9007199254740993,"kestrova_sqlr_blobs":0})"},
      {R"("q\"uote","com,ma","line\nbreak")",
       R"({"q\"uote":"say \"hi\"","com,ma":"a,b","line\nbreak":"one\r\ntwo","kestrova_sqlr_blobs":0})"},
      {R"("doc")", R"({"doc":"{\"rows\":[{\"a\":1}],\"b\":\"}\"}","kestrova_sqlr_blobs":0})"},
      {R"("esc")", R"({"esc":"\\ \/ \b\f\t \u001f \u007f \u00E9\u20AC","kestrova_sqlr_blobs":0})"},
      {R"("b","t")",
       R"({"b":"AP8=","t":"AP8=","kestrova_sqlr_blobs":1},{"b":null,"t":"x","kestrova_sqlr_blobs":0})"},
      {R"("raw")", R"({"raw":"ünï 😀","kestrova_sqlr_blobs":0})"},
      {R"("")", R"({"":"","kestrova_sqlr_blobs":0})"},
      {R"("a")", ""},
  };
  for (const auto& page : kPages) {
    const std::string text = std::string(R"({"columns":[)") + page.columns +
                             R"(,"kestrova_sqlr_blobs"],"rows":[)" + page.rows +
                             R"(],"offset":0,"limit":10,"returned":1})";
    for (const char delimiter : {',', '\t'}) {
      std::string out;
      ASSERT_TRUE(through_text(text, 1, delimiter, &out)) << text;
      EXPECT_EQ(out, through_document(text, 1, delimiter)) << text;
    }
  }
}

TEST(DelimitedTextTest, TextItDoesNotExpectIsRefused) {
  const char* kRows[] = {
      R"({"a":"\ud83d","kestrova_sqlr_blobs":0})",               // a lone high surrogate
      R"({"a":"\ude00x","kestrova_sqlr_blobs":0})",              // a lone low surrogate
      R"({"a":"\x","kestrova_sqlr_blobs":0})",                   // an unknown escape
      R"({"a":"\u12g4","kestrova_sqlr_blobs":0})",               // a bad hex digit
      "{\"a\":\"\xC0\xAF\",\"kestrova_sqlr_blobs\":0}",          // an overlong form
      "{\"a\":\"\xED\xA0\x80\",\"kestrova_sqlr_blobs\":0}",      // a surrogate in UTF-8
      "{\"a\":\"\xF4\x90\x80\x80\",\"kestrova_sqlr_blobs\":0}",  // past U+10FFFF
      "{\"a\":\"tab\tin\",\"kestrova_sqlr_blobs\":0}",           // a raw control character
      R"({"a":true,"kestrova_sqlr_blobs":0})",                   // not a value SQLite gives
      R"({"a":Infinity,"kestrova_sqlr_blobs":0})",
      R"({"a":01,"kestrova_sqlr_blobs":0})",
      R"({"a":1.,"kestrova_sqlr_blobs":0})",
      R"({"a": 1,"kestrova_sqlr_blobs":0})",       // a space
      R"({"a":1})",                                // its marks missing
      R"({"a":1,"b":2,"kestrova_sqlr_blobs":0})",  // a member too many
      R"({"a":1,"kestrova_sqlr_blobs":"0"})",      // marks that are text
      R"({"a":"open,"kestrova_sqlr_blobs":0})",
      R"({"a":1,"kestrova_sqlr_blobs":0}{"a":1,"kestrova_sqlr_blobs":0})",
  };
  for (const char* rows : kRows) {
    const std::string text = std::string(R"({"columns":["a","kestrova_sqlr_blobs"],"rows":[)") +
                             rows + R"(],"offset":0,"limit":10,"returned":1})";
    std::string out;
    EXPECT_FALSE(through_text(text, 1, ',', &out)) << rows;
  }
  std::string out;
  EXPECT_FALSE(through_text(R"({"rows":[],"columns":[]})", 0, ',', &out));
  EXPECT_FALSE(through_text(R"({"columns":["a"] ,"rows":[]})", 0, ',', &out));
}

}  // namespace
}  // namespace kestrova::tools
