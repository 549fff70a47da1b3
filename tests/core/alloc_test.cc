// The allocation point's failure injection, which the other tests rely on.
#include <gtest/gtest.h>

#include "txc_alloc.h"

namespace {

TEST(AllocTest, FailsTheNthAllocationAndOptionallyAllAfter) {
  txc_alloc_fail_at(3);
  void *a = txc_malloc(8);
  void *b = txc_calloc(2, 4);
  void *c = txc_malloc(8);  // the third
  char *d = txc_strdup("text");
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d, "text");
  EXPECT_EQ(txc_alloc_count(), 4);
  EXPECT_EQ(txc_alloc_failures(), 1);
  txc_free(a);
  txc_free(b);
  txc_free(d);

  txc_alloc_fail_at(2, true);
  void *e = txc_malloc(1);
  EXPECT_NE(e, nullptr);
  EXPECT_EQ(txc_realloc(e, 64), nullptr);  // e stays valid
  EXPECT_EQ(txc_strndup("abcdef", 3), nullptr);
  EXPECT_EQ(txc_calloc(1, 1), nullptr);
  EXPECT_EQ(txc_alloc_failures(), 3);
  txc_free(e);

  txc_alloc_reset();
  char *f = txc_strndup("abcdef", 3);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f, "abc");
  EXPECT_EQ(txc_alloc_failures(), 0);
  txc_free(f);
  txc_free(nullptr);
}

}  // namespace
