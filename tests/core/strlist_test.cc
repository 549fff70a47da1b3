// String list: limits, walks, join caching, append, contains, allocation
// failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "txc_alloc.h"
#include "txc_log.h"
#include "txlib/txlib.h"

namespace {

struct ListDeleter {
  void operator()(txc_strlist *l) const { strlist_free(l); }
};
using ListPtr = std::unique_ptr<txc_strlist, ListDeleter>;

ListPtr make_list(uint32_t limit, std::initializer_list<const char *> items = {}) {
  ListPtr list(strlist_create(limit));
  EXPECT_NE(list, nullptr);
  for (const char *s : items) EXPECT_EQ(strlist_add(list.get(), s), 1) << s;
  return list;
}

// Joins and frees, so tests compare plain strings.
std::string join(txc_strlist *list, uint32_t direction) {
  char *text = strlist_join(list, direction);
  if (text == nullptr) return "<null>";
  std::string out(text);
  free(text);
  return out;
}

std::vector<std::string> walk(txc_strlist *list, uint32_t direction) {
  std::vector<std::string> out;
  strlist_rewind(list, direction);
  while (const char *s = strlist_next(list)) out.emplace_back(s);
  return out;
}

class StrlistTest : public ::testing::Test {
 protected:
  void TearDown() override { txc_alloc_reset(); }
  LogCapture log_{9};
};

TEST_F(StrlistTest, LimitIsAStrictBoundOnTotalLength) {
  auto list = make_list(10);
  EXPECT_EQ(strlist_add(list.get(), "123456789"), 1);
  EXPECT_EQ(strlist_add(list.get(), "x"), 0);  // 9 + 1 is not below 10
  EXPECT_TRUE(log_.has(9, "txlib: strings: new string(1) overcome limit (10) for whole(9)"))
      << log_.dump();
  EXPECT_EQ(strlist_count(list.get()), 1);
  EXPECT_EQ(strlist_length(list.get()), 9u);
  EXPECT_EQ(join(list.get(), TXC_STRLIST_FORWARD), "123456789");

  auto empty = make_list(10);
  EXPECT_EQ(strlist_add(empty.get(), "1234567890"), 0);
  EXPECT_EQ(strlist_count(empty.get()), 0);
  EXPECT_EQ(strlist_add(empty.get(), "123456789"), 1);

  // A negative limit from a caller is a huge unsigned one: no practical limit.
  auto huge = make_list(static_cast<uint32_t>(-1));
  std::string big(100000, 'a');
  EXPECT_EQ(strlist_add(huge.get(), big.c_str()), 1);
  EXPECT_EQ(strlist_add(huge.get(), big.c_str()), 1);
  EXPECT_EQ(strlist_length(huge.get()), 200000u);
}

TEST_F(StrlistTest, NullAndEmptyInputs) {
  EXPECT_EQ(strlist_add(nullptr, "a"), 0);
  EXPECT_TRUE(log_.has(2, "txlib: strings: null list passed"));

  auto list = make_list(0);
  EXPECT_EQ(strlist_add(list.get(), nullptr), 1);
  EXPECT_TRUE(log_.has(9, "txlib: strings: null string passed"));
  EXPECT_EQ(strlist_add(list.get(), ""), 1);
  EXPECT_TRUE(log_.has(9, "txlib: strings: zero-length string passed"));
  EXPECT_EQ(strlist_count(list.get()), 0);
  EXPECT_EQ(strlist_length(list.get()), 0u);

  EXPECT_EQ(strlist_count(nullptr), 0);
  EXPECT_EQ(strlist_length(nullptr), 0u);
  EXPECT_EQ(strlist_join(nullptr, 0), nullptr);
  EXPECT_EQ(strlist_next(nullptr), nullptr);
  strlist_rewind(nullptr, 0);
  strlist_free(nullptr);
  EXPECT_EQ(strlist_contains(nullptr, "a"), 0);
  EXPECT_EQ(strlist_contains(list.get(), nullptr), 0);

  // A new list has no cursor until it is rewound.
  auto fresh = make_list(0, {"a"});
  EXPECT_EQ(strlist_next(fresh.get()), nullptr);
}

TEST_F(StrlistTest, WalksInBothDirectionsAndStopsAtTheEnd) {
  auto list = make_list(0, {"one", "two", "three"});
  EXPECT_EQ(walk(list.get(), TXC_STRLIST_FORWARD),
            (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(walk(list.get(), TXC_STRLIST_BACKWARD),
            (std::vector<std::string>{"three", "two", "one"}));
  // After the end, next keeps returning NULL.
  EXPECT_EQ(strlist_next(list.get()), nullptr);
  EXPECT_EQ(strlist_next(list.get()), nullptr);

  // A bad direction leaves the cursor alone.
  strlist_rewind(list.get(), TXC_STRLIST_FORWARD);
  EXPECT_STREQ(strlist_next(list.get()), "one");
  strlist_rewind(list.get(), 2);
  EXPECT_STREQ(strlist_next(list.get()), "two");

  // The list keeps its own copies.
  char buf[] = "mutable";
  auto copy = make_list(0);
  strlist_add(copy.get(), buf);
  buf[0] = 'X';
  strlist_rewind(copy.get(), 0);
  EXPECT_STREQ(strlist_next(copy.get()), "mutable");
}

TEST_F(StrlistTest, JoinConcatenatesAndCachesPerDirection) {
  auto empty = make_list(0);
  EXPECT_EQ(join(empty.get(), TXC_STRLIST_FORWARD), "");
  EXPECT_EQ(join(empty.get(), TXC_STRLIST_BACKWARD), "");

  auto list = make_list(0, {"ab", "cd"});
  EXPECT_EQ(join(list.get(), TXC_STRLIST_FORWARD), "abcd");
  EXPECT_EQ(join(list.get(), TXC_STRLIST_BACKWARD), "cdab");
  EXPECT_EQ(strlist_join(list.get(), 2), nullptr);

  // Two joins in a row are equal, distinct copies; the second comes from the
  // cache, which costs exactly one allocation (the copy).
  char *a = strlist_join(list.get(), TXC_STRLIST_FORWARD);
  txc_alloc_fail_at(0);
  char *b = strlist_join(list.get(), TXC_STRLIST_FORWARD);
  EXPECT_EQ(txc_alloc_count(), 1);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_STREQ(a, b);
  free(a);
  free(b);

  // An addition drops the cache.
  EXPECT_EQ(strlist_add(list.get(), "ef"), 1);
  EXPECT_EQ(join(list.get(), TXC_STRLIST_FORWARD), "abcdef");
  EXPECT_EQ(join(list.get(), TXC_STRLIST_BACKWARD), "efcdab");
  EXPECT_EQ(join(list.get(), TXC_STRLIST_FORWARD), "abcdef");
}

TEST_F(StrlistTest, AppendPutsSeparatorsBetweenStrings) {
  auto src = make_list(0, {"a", "b", "c"});
  auto dst = make_list(0, {"x"});
  EXPECT_EQ(strlist_append(dst.get(), src.get(), ", "), 1);
  EXPECT_EQ(join(dst.get(), TXC_STRLIST_FORWARD), "xa, b, c");
  EXPECT_EQ(strlist_count(dst.get()), 6);
  EXPECT_EQ(strlist_count(src.get()), 3);

  auto plain = make_list(0);
  EXPECT_EQ(strlist_append(plain.get(), src.get(), nullptr), 1);
  EXPECT_EQ(join(plain.get(), TXC_STRLIST_FORWARD), "abc");

  EXPECT_EQ(strlist_append(nullptr, src.get(), ","), 0);
  EXPECT_EQ(strlist_append(plain.get(), nullptr, ","), 1);
  EXPECT_EQ(strlist_count(plain.get()), 3);

  // Refusal by the destination's limit is reported.
  auto small = make_list(4);
  EXPECT_EQ(strlist_append(small.get(), src.get(), "--"), 0);

  // Appending a list to itself doubles it once and ends.
  auto self = make_list(0, {"p", "q"});
  EXPECT_EQ(strlist_append(self.get(), self.get(), "/"), 1);
  EXPECT_EQ(join(self.get(), TXC_STRLIST_FORWARD), "pqp/q");
}

TEST_F(StrlistTest, ContainsComparesWholeStrings) {
  auto list = make_list(0, {"alpha", "beta"});
  EXPECT_EQ(strlist_contains(list.get(), "beta"), 1);
  EXPECT_EQ(strlist_contains(list.get(), "alpha"), 1);
  EXPECT_EQ(strlist_contains(list.get(), "alph"), 0);
  EXPECT_EQ(strlist_contains(list.get(), "Beta"), 0);
  EXPECT_EQ(strlist_contains(list.get(), ""), 0);
}

TEST_F(StrlistTest, AllocationFailuresLeaveTheListUnchanged) {
  txc_alloc_fail_at(1);
  EXPECT_EQ(strlist_create(0), nullptr);

  auto list = make_list(0, {"keep"});
  char *cached = strlist_join(list.get(), TXC_STRLIST_FORWARD);
  free(cached);

  for (long nth : {1L, 2L}) {  // the node, then the copy of the string
    log_.clear();
    txc_alloc_fail_at(nth);
    EXPECT_EQ(strlist_add(list.get(), "new"), 0) << nth;
    EXPECT_TRUE(log_.contains("txlib: txc_strings(")) << log_.dump();
    EXPECT_TRUE(log_.contains(") - cannot allocate memory")) << log_.dump();
    txc_alloc_reset();
    EXPECT_EQ(strlist_count(list.get()), 1);
    EXPECT_EQ(strlist_length(list.get()), 4u);
    EXPECT_EQ(walk(list.get(), 0), std::vector<std::string>{"keep"});
  }

  // A failed join returns NULL; the next one works.
  strlist_add(list.get(), "more");
  txc_alloc_fail_at(1);
  EXPECT_EQ(strlist_join(list.get(), TXC_STRLIST_FORWARD), nullptr);
  txc_alloc_reset();
  EXPECT_EQ(join(list.get(), TXC_STRLIST_FORWARD), "keepmore");
  // The copy of a freshly built join fails: NULL, but the cache is sound.
  txc_alloc_fail_at(2);
  EXPECT_EQ(strlist_join(list.get(), TXC_STRLIST_BACKWARD), nullptr);
  txc_alloc_reset();
  EXPECT_EQ(join(list.get(), TXC_STRLIST_BACKWARD), "morekeep");
}

}  // namespace
