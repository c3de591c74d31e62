// The parts the page is written with: the written length of a string, the
// writer's scratch allocator and the growing text.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrova_sqlr/text_buffer.h"
#include "sqlr_query/json_length.h"
#include "sqlr_query/scratch_allocator.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

// What yyjson's writer, with no flags, writes for `s` as a string value; -1
// when it refuses (not UTF-8).
long long written_length(const std::string& s) {
  yyjson_mut_val v;
  yyjson_mut_set_strn(&v, s.data(), s.size());
  size_t len = 0;
  char* out = yyjson_mut_val_write_opts(&v, 0, nullptr, &len, nullptr);
  if (out == nullptr) return -1;
  std::free(out);
  return static_cast<long long>(len);
}

size_t counted(const std::string& s, size_t* cut = nullptr) {
  size_t ignored = 0;
  return sqlr_json_string_bytes(s.data(), s.size(), static_cast<size_t>(-1),
                                cut != nullptr ? cut : &ignored);
}

TEST(JsonStringBytes, MatchesTheWriterForEveryByteBelowTheHighHalf) {
  for (int b = 1; b < 0x80; ++b) {
    const std::string s = "a" + std::string(1, static_cast<char>(b)) + "z";
    EXPECT_EQ(static_cast<long long>(counted(s)), written_length(s)) << "byte " << b;
  }
}

TEST(JsonStringBytes, MatchesTheWriterForTextsOfEveryKind) {
  const std::string texts[] = {
      "",
      "plain",
      "line\nbreak\ttab\rreturn\bback\fform",
      "quote \" backslash \\ solidus / del \x7f",
      "\x01\x02\x1f\x1e",
      "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",         // two, three and four bytes
      std::string(5000, '\x01') + std::string(5000, 'x'),  // longer than one stride
      std::string(4096, '"'),
  };
  for (const std::string& s : texts) {
    EXPECT_EQ(static_cast<long long>(counted(s)), written_length(s)) << s;
  }
}

TEST(JsonStringBytes, StopsAtTheFirstNul) {
  const std::string s = std::string("ab\x01", 3) + std::string(1, '\0') + "\x01\x01";
  size_t cut = 0;
  EXPECT_EQ(counted(s, &cut), 2u + 2 + 6);
  EXPECT_EQ(cut, 3u);
  EXPECT_EQ(counted(std::string(1, '\0'), &cut), 2u);
  EXPECT_EQ(cut, 0u);
  EXPECT_EQ(counted("abc", &cut), 5u);
  EXPECT_EQ(cut, 3u);
}

TEST(JsonStringBytes, GivesUpOncePastTheLimitAfterBoundedWork) {
  const std::string s(1 << 20, '\x01');  // written as 6 MiB and a little
  size_t cut = 12345;
  const size_t partial = sqlr_json_string_bytes(s.data(), s.size(), 1000, &cut);
  EXPECT_GT(partial, 1000u);
  EXPECT_LT(partial, 1000u + 6 * 4096 + 2);  // within one stride of the limit
  // A count that ends within the limit is the whole count.
  EXPECT_EQ(sqlr_json_string_bytes(s.data(), s.size(), 6u << 20 | 2, &cut), (6u << 20) + 2);
  EXPECT_EQ(cut, s.size());
}

// ---- The scratch allocator.

struct Block {
  void* p;
  size_t n;
  char fill;
};

// Fills a block with its own byte, so that any overlap shows.
void fill(const Block& b) { std::memset(b.p, b.fill, b.n); }
bool intact(const Block& b) {
  const auto* c = static_cast<const char*>(b.p);
  for (size_t i = 0; i < b.n; ++i)
    if (c[i] != b.fill) return false;
  return true;
}

TEST(ScratchAllocator, ServesAnyPatternOfRequestsCorrectly) {
  ScratchAllocator scratch(1024);
  const yyjson_alc* a = scratch.alc();
  std::vector<Block> live;
  auto take = [&](size_t n, char c) {
    Block b{a->malloc(a->ctx, n), n, c};
    ASSERT_NE(b.p, nullptr);
    fill(b);
    live.push_back(b);
  };
  take(100, 'a');
  take(300, 'b');
  // The most recent block grows in place while there is room...
  void* before = live[1].p;
  live[1].p = a->realloc(a->ctx, live[1].p, 300, 600);
  EXPECT_EQ(live[1].p, before);
  EXPECT_TRUE(intact(live[1]));
  live[1].n = 600;
  fill(live[1]);
  // ...and moves, keeping its bytes, when there is none.
  live[1].p = a->realloc(a->ctx, live[1].p, 600, 5000);
  EXPECT_NE(live[1].p, before);
  EXPECT_TRUE(intact(live[1]));
  live[1].n = 5000;
  fill(live[1]);
  // A block that is not the most recent also moves to grow.
  before = live[0].p;
  live[0].p = a->realloc(a->ctx, live[0].p, 100, 200);
  EXPECT_TRUE(intact(live[0]));
  live[0].n = 200;
  fill(live[0]);
  take(2000, 'c');  // larger than the scratch: from the heap
  take(16, 'd');
  // Shrinking keeps the bytes that stay.
  live[2].p = a->realloc(a->ctx, live[2].p, 2000, 10);
  live[2].n = 10;
  for (const Block& b : live) EXPECT_TRUE(intact(b)) << b.fill;
  for (const Block& b : live) a->free(a->ctx, b.p);
  scratch.reset();
  // After a reset the whole block serves again.
  void* p = a->malloc(a->ctx, 1000);
  EXPECT_NE(p, nullptr);
  a->free(a->ctx, p);
}

TEST(ScratchAllocator, TheWriterWritesThroughItAsThroughTheHeap) {
  ScratchAllocator scratch(256);  // small: long texts go to the heap
  for (size_t n : {size_t{0}, size_t{10}, size_t{200}, size_t{100000}}) {
    yyjson_mut_doc* doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val* obj = yyjson_mut_obj(doc);
    const std::string text(n, '\x01');
    yyjson_mut_obj_add(obj, yyjson_mut_str(doc, "k"), yyjson_mut_strn(doc, text.data(), n));
    yyjson_mut_obj_add(obj, yyjson_mut_str(doc, "r"), yyjson_mut_real(doc, 2.5));
    size_t heap_len = 0, scratch_len = 0;
    char* heap = yyjson_mut_val_write_opts(obj, 0, nullptr, &heap_len, nullptr);
    scratch.reset();
    char* mine = yyjson_mut_val_write_opts(obj, 0, scratch.alc(), &scratch_len, nullptr);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(std::string(mine, scratch_len), std::string(heap, heap_len)) << n;
    scratch.alc()->free(scratch.alc()->ctx, mine);
    std::free(heap);
    yyjson_mut_doc_free(doc);
  }
}

// ---- The growing text.

TEST(TextBuffer, GrowsKeepsItsBytesAndHandsOverAString) {
  TextBuffer t(10000);
  std::string expected;
  for (int i = 0; i < 1000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    ASSERT_TRUE(t.append(piece.data(), piece.size()));
    expected += piece;
  }
  EXPECT_TRUE(t.append(nullptr, 0));
  EXPECT_EQ(std::string(t.data(), t.size()), expected);
  EXPECT_LE(t.capacity(), 10000u);  // doubling stops at the ceiling
  ASSERT_TRUE(t.reserve(20000));    // unless more is asked for
  EXPECT_GE(t.capacity(), 20000u);
  char* s = t.take_string();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s), expected);
  std::free(s);
  EXPECT_EQ(t.size(), 0u);
  char* empty = t.take_string();
  ASSERT_NE(empty, nullptr);
  EXPECT_STREQ(empty, "");
  std::free(empty);
}

}  // namespace
