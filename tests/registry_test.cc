// The connection registry: slot claiming, lookup and release.
#include "kestrova_sqlr/registry.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "kestrova_sqlr/error.h"
#include "kestrova_sqlr/json_result.h"
#include "test_util.h"

// The library's internals under test.
using namespace kestrova::sqlr;

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(sqlr_test::slots_in_use(), 0); }
  void TearDown() override {
    sqlr_conn_lock();
    for (int i = 0; i < SQLR_MAX_CONNS; ++i) sqlr_release_handle(i);
    sqlr_conn_unlock();
  }
};

TEST_F(RegistryTest, ClaimsLowestFreeSlotAndReusesNumbers) {
  sqlr_conn_lock();
  EXPECT_EQ(sqlr_alloc_handle(), 0);
  EXPECT_EQ(sqlr_alloc_handle(), 1);
  EXPECT_EQ(sqlr_alloc_handle(), 2);
  sqlr_release_handle(1);
  EXPECT_EQ(sqlr_alloc_handle(), 1);
  EXPECT_EQ(sqlr_alloc_handle(), 3);
  sqlr_conn_unlock();
}

TEST_F(RegistryTest, FullTableRefusesAndChangesNothing) {
  sqlr_conn_lock();
  for (int i = 0; i < SQLR_MAX_CONNS; ++i) ASSERT_EQ(sqlr_alloc_handle(), i);
  EXPECT_EQ(sqlr_alloc_handle(), -1);
  for (int i = 0; i < SQLR_MAX_CONNS; ++i) EXPECT_NE(sqlr_conn_get(i), nullptr);
  sqlr_release_handle(40);
  EXPECT_EQ(sqlr_alloc_handle(), 40);
  sqlr_conn_unlock();
}

TEST_F(RegistryTest, ClaimedSlotStartsZeroedAndReleaseZeroesIt) {
  sqlr_conn_lock();
  int h = sqlr_alloc_handle();
  sqlr_conn* c = sqlr_conn_get(h);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->in_use, 1);
  EXPECT_EQ(c->writable, 0);
  EXPECT_EQ(c->db, nullptr);
  EXPECT_EQ(c->op_started.load(), 0);
  c->writable = 1;
  c->op_started = 12345;
  sqlr_release_handle(h);
  EXPECT_EQ(c->in_use, 0);
  EXPECT_EQ(c->writable, 0);
  EXPECT_EQ(c->op_started.load(), 0);
  EXPECT_EQ(sqlr_conn_get(h), nullptr);
  sqlr_conn_unlock();
}

TEST_F(RegistryTest, OutOfRangeHandlesHaveNoSlot) {
  sqlr_conn_lock();
  for (int i = 0; i < SQLR_MAX_CONNS; ++i) sqlr_alloc_handle();
  for (int32_t h : {-1, 64, 65, 1000, INT_MIN, INT_MAX}) {
    EXPECT_EQ(sqlr_conn_get(h), nullptr) << h;
    sqlr_release_handle(h);  // does nothing
  }
  for (int i = 0; i < SQLR_MAX_CONNS; ++i) EXPECT_NE(sqlr_conn_get(i), nullptr);
  sqlr_conn_unlock();
}

// A claimed slot (open still in progress) is found by lookup, but handle
// resolution treats it like a free one.
TEST_F(RegistryTest, ResolutionRefusesFreeClaimedAndOutOfRangeHandles) {
  sqlr_conn_lock();
  int claimed = sqlr_alloc_handle();
  EXPECT_NE(sqlr_conn_get(claimed), nullptr);
  sqlr_conn_unlock();
  for (int32_t h : {claimed, 5, -1, 64, 1000, INT_MIN}) {
    sqlr_clear_error();
    EXPECT_EQ(sqlr_resolve_handle(h), nullptr) << h;
    // Resolution leaves the message to the operation, at its boundary.
    EXPECT_STREQ(sqlr_last_error(), "") << h;
  }
  EXPECT_STREQ(sqlr_invalid_handle_status().message(), "invalid handle");
}

// The public header's version parts and limits agree with each other and
// with what the library enforces.
TEST(PublicConstants, AgreeWithTheLibrary) {
  EXPECT_EQ(std::to_string(SQLR_VERSION_MAJOR) + "." + std::to_string(SQLR_VERSION_MINOR) + "." +
                std::to_string(SQLR_VERSION_PATCH),
            SQLR_VERSION_STRING);
  static_assert(SQLR_MAX_CONNS == SQLR_MAX_HANDLES);
  static_assert(SQLR_JSON_MAX_BYTES == SQLR_MAX_RESULT_BYTES);
  static_assert(SQLR_MAX_RESULT_BYTES == 100 * 1024 * 1024);
}

}  // namespace
