// The last-error text and the serialisation of result documents.
#include "kestrova_sqlr/error.h"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "kestrova_sqlr/deadline.h"
#include "kestrova_sqlr/json_doc.h"
#include "kestrova_sqlr/json_result.h"
#include "kestrova_sqlr/messages.h"
#include "kestrova_sqlr/status.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

using sqlr_test::last_error;

// Must stay the first test of this program: nothing has failed yet.
TEST(LastError, EmptyBeforeAnyFailureAndAlwaysTheSameBuffer) {
  const char* text = sqlr_last_error();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "");
  sqlr_set_error("boom %d", 1);
  EXPECT_EQ(sqlr_last_error(), text);
  EXPECT_STREQ(text, "boom 1");
  sqlr_clear_error();
  EXPECT_STREQ(text, "");
}

TEST(LastError, LongMessageIsCutAfter1023Bytes) {
  std::string long_text(1500, 'x');
  long_text[1022] = 'y';  // last byte kept
  long_text[1023] = 'z';  // first byte cut
  sqlr_set_error("%s", long_text.c_str());
  EXPECT_EQ(std::strlen(sqlr_last_error()), SQLR_ERR_SIZE - 1);
  EXPECT_EQ(last_error(), long_text.substr(0, 1023));
  EXPECT_EQ(g_err[SQLR_ERR_SIZE - 1], '\0');
}

TEST(LastError, CutMayFallInsideAMultiByteCharacter) {
  std::string text(1022, 'a');
  text += "\xC3\xA9";  // é straddles the cut
  sqlr_set_error("%s", text.c_str());
  EXPECT_EQ(last_error(), std::string(1022, 'a') + "\xC3");
}

TEST(FreeString, NullDoesNothing) { sqlr_free_string(nullptr); }

// A failure travels as a value: making one leaves the text alone, and only
// reporting it writes the text, cut as the text cuts; an ok status writes
// nothing.
TEST(Status, CarriesItsMessageUntilReported) {
  sqlr_set_error("earlier");
  const Status failed = Status::error(Status::Code::kSqlite, "prepare failed: %s", "no such table");
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.code(), Status::Code::kSqlite);
  EXPECT_EQ(last_error(), "earlier");
  EXPECT_FALSE(sqlr_report(Status()));
  EXPECT_EQ(last_error(), "earlier");
  EXPECT_TRUE(sqlr_report(failed));
  EXPECT_EQ(last_error(), "prepare failed: no such table");

  const std::string long_name(1500, 'x');
  EXPECT_TRUE(
      sqlr_report(Status::error(Status::Code::kNotFound, msg::kTableNotFound, long_name.c_str())));
  EXPECT_EQ(last_error().size(), SQLR_ERR_SIZE - 1);
  EXPECT_EQ(Status().message(), std::string());
  sqlr_clear_error();
}

// The deadline's message, formatted from its number of seconds, is the one
// the public header promises hosts.
TEST(Status, TimeoutMessageIsThePublicHeadersText) {
  const Status timed_out = sqlr_timeout_status();
  EXPECT_EQ(timed_out.code(), Status::Code::kTimedOut);
  EXPECT_STREQ(timed_out.message(), SQLR_MSG_TIMED_OUT);
}

// Serialises a document whose root is `root`, built by `make`.
template <typename Make>
std::string serialise(Make make) {
  sqlr_test::Result r;
  {
    JsonDoc doc;
    yyjson_mut_doc_set_root(doc.get(), make(doc.get()));
    sqlr_clear_error();
    char* out = nullptr;
    sqlr_report(sqlr_strdup_json(doc.get(), &out));
    r.reset(out);
  }
  return sqlr_test::text(r);
}

TEST(StrdupJson, WritesCompactTextInInsertionOrderWithDuplicateKeys) {
  std::string out = serialise([](yyjson_mut_doc* d) {
    yyjson_mut_val* obj = yyjson_mut_obj(d);
    yyjson_mut_obj_add(obj, yyjson_mut_str(d, "b"), yyjson_mut_sint(d, -5));
    yyjson_mut_obj_add(obj, yyjson_mut_str(d, "a"), yyjson_mut_null(d));
    yyjson_mut_obj_add(obj, yyjson_mut_str(d, "a"), yyjson_mut_arr(d));
    return obj;
  });
  EXPECT_EQ(out, R"({"b":-5,"a":null,"a":[]})");
  EXPECT_EQ(last_error(), "");
}

struct StringCase {
  std::string value;
  std::string json;
};

TEST(StrdupJson, EscapesOnlyWhatJsonRequires) {
  const StringCase cases[] = {
      {"line\nfeed \"quoted\" a/b", R"("line\nfeed \"quoted\" a/b")"},
      {"back\\slash", R"("back\\slash")"},
      {"\b\t\f\r", R"("\b\t\f\r")"},
      {std::string("\x01\x1b\x1f", 3), R"("\u0001\u001B\u001F")"},
      {"\x7f", "\"\x7f\""},
      {"caf\xC3\xA9 \xE2\x82\xAC", "\"caf\xC3\xA9 \xE2\x82\xAC\""},
      {"", R"("")"},
  };
  for (const auto& c : cases) {
    std::string out = serialise(
        [&](yyjson_mut_doc* d) { return yyjson_mut_strncpy(d, c.value.data(), c.value.size()); });
    EXPECT_EQ(out, c.json);
  }
}

struct RealCase {
  double value;
  const char* json;
};

TEST(StrdupJson, WritesRealsInShortestRoundTripFormKeepingThemReals) {
  const RealCase cases[] = {
      {1.0, "1.0"},           {0.0, "0.0"},
      {-0.0, "-0.0"},         {2.5, "2.5"},
      {1e30, "1e30"},         {1e-7, "1e-7"},
      {0.1, "0.1"},           {-123.456, "-123.456"},
      {1e300, "1e300"},       {1e17, "100000000000000000.0"},
      {1e21, "1e21"},         {1e-6, "0.000001"},
      {1.23e-18, "1.23e-18"}, {1.7976931348623157e308, "1.7976931348623157e308"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(serialise([&](yyjson_mut_doc* d) { return yyjson_mut_real(d, c.value); }), c.json)
        << c.value;
  }
  EXPECT_EQ(serialise([](yyjson_mut_doc* d) { return yyjson_mut_sint(d, INT64_MIN); }),
            "-9223372036854775808");
}

TEST(StrdupJson, FailuresLeaveTheirMessage) {
  char* out = nullptr;
  EXPECT_STREQ(sqlr_strdup_json(nullptr, &out).message(), "null JSON document");
  EXPECT_EQ(out, nullptr);
  {
    JsonDoc no_root;
    EXPECT_STREQ(sqlr_strdup_json(no_root.get(), &out).message(), "failed to serialize JSON");
    EXPECT_EQ(out, nullptr);
  }
  for (double bad : {std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_EQ(serialise([&](yyjson_mut_doc* d) { return yyjson_mut_real(d, bad); }), "<null>");
    EXPECT_EQ(last_error(), "failed to serialize JSON");
  }
  EXPECT_EQ(serialise([](yyjson_mut_doc* d) { return yyjson_mut_strn(d, "\xFF", 1); }), "<null>");
  EXPECT_EQ(last_error(), "failed to serialize JSON");
}

// A string root of n bytes serialises to n + 2 bytes.
TEST(StrdupJson, SizeLimitIsInclusive) {
  std::string big(SQLR_JSON_MAX_BYTES - 2, 'a');
  std::string at_limit =
      serialise([&](yyjson_mut_doc* d) { return yyjson_mut_strn(d, big.data(), big.size()); });
  EXPECT_EQ(at_limit.size(), SQLR_JSON_MAX_BYTES);
  EXPECT_EQ(last_error(), "");
  at_limit.clear();
  at_limit.shrink_to_fit();

  big.push_back('a');
  EXPECT_EQ(
      serialise([&](yyjson_mut_doc* d) { return yyjson_mut_strn(d, big.data(), big.size()); }),
      "<null>");
  EXPECT_EQ(last_error(), "JSON result exceeds 100MB limit");
}

}  // namespace
