// Timeout conversions and the budget arithmetic.
#include <gtest/gtest.h>
#include <sys/time.h>

#include "ipc/txc_timo.h"

namespace {

TEST(TimeoutToTimeval, ConvertsBoundsAndLeavesNoLimitAlone) {
  struct timeval t = {77, 88};
  EXPECT_EQ(timeout_to_timeval(-1, &t), nullptr);
  EXPECT_EQ(t.tv_sec, 77);
  EXPECT_EQ(t.tv_usec, 88);

  struct {
    txc_timeout_t in;
    long sec, usec;
  } cases[] = {{0, 0, 0},
               {999, 0, 999000},
               {1500, 1, 500000},
               {14400000, 14400, 0},
               {-2, 0, 0}};  // a used-up budget means "do not wait", never negative
  for (const auto &c : cases) {
    struct timeval tv = {-5, -5};
    EXPECT_EQ(timeout_to_timeval(c.in, &tv), &tv) << c.in;
    EXPECT_EQ(tv.tv_sec, c.sec) << c.in;
    EXPECT_EQ(tv.tv_usec, c.usec) << c.in;
    struct timeval sv = {-5, -5};
    EXPECT_EQ(timeout_to_system(c.in, &sv), &sv);
    EXPECT_EQ(sv.tv_sec, c.sec);
    EXPECT_EQ(sv.tv_usec, c.usec);
  }
}

TEST(TimeoutToTimeval, NullRecordIsAContractViolation) {
  EXPECT_DEATH(timeout_to_timeval(5, nullptr), "");
  EXPECT_DEATH(timeout_to_system(5, nullptr), "");
}

TEST(TimevalToTimeout, TruncatesMicroseconds) {
  EXPECT_EQ(timeval_to_timeout(0, 0), 0);
  EXPECT_EQ(timeval_to_timeout(1, 999999), 1999);
  EXPECT_EQ(timeval_to_timeout(14400, 0), 14400000);
  EXPECT_EQ(timeval_to_timeout(-1, 0), -1000);
}

TEST(TimeoutElapsed, BorrowsFromSeconds) {
  EXPECT_EQ(timeout_elapsed({10, 900000}, {11, 100000}), 200);
  EXPECT_EQ(timeout_elapsed({10, 0}, {10, 999}), 0);
  EXPECT_EQ(timeout_elapsed({10, 500000}, {10, 0}), -500);
  EXPECT_EQ(timeout_elapsed({100, 0}, {90, 0}), -10000);
}

// A stamp ms milliseconds before now (negative: in the future).
txc_timestamp stamp_ago(long ms) {
  txc_timestamp now = current_time();
  long long us = static_cast<long long>(now.sec) * 1000000 + now.usec - ms * 1000;
  return txc_timestamp{static_cast<int32_t>(us / 1000000), static_cast<int32_t>(us % 1000000)};
}

TEST(TimeoutLeft, SpendsTheBudget) {
  // Zero is used up by any step; -2 stays used up.
  EXPECT_EQ(timeout_left(0, current_time()), -2);
  EXPECT_EQ(timeout_left(-2, current_time()), -2);
  // No limit: the start stamp is never looked at.
  EXPECT_EQ(timeout_left(-1, txc_timestamp{0, 0}), -1);
  EXPECT_EQ(timeout_left(-1, stamp_ago(100000)), -1);

  // 5000 with 1200 ms spent leaves about 3800 (the clock moves on while
  // the call runs, so allow a little).
  txc_timeout_t left = timeout_left(5000, stamp_ago(1200));
  EXPECT_LE(left, 3800);
  EXPECT_GT(left, 3000);
  // Exactly all (or more) spent counts as used up.
  EXPECT_EQ(timeout_left(5000, stamp_ago(5000)), -2);
  EXPECT_EQ(timeout_left(5000, stamp_ago(7000)), -2);

  // The largest budget keeps almost all of itself.
  left = timeout_left(14400000, current_time());
  EXPECT_LE(left, 14400000);
  EXPECT_GT(left, 14400000 - 1000);
}

TEST(TimeoutLeft, ClockSetBackUsesTheBudgetUp) {
  // A start stamp in the future looks like a clock that went back.
  EXPECT_EQ(timeout_left(5000, stamp_ago(-3000)), -2);
  EXPECT_EQ(timeout_left(14400000, stamp_ago(-1)), -2);
}

TEST(TimeoutStart, NoLimitDoesNotReadTheClock) {
  txc_timestamp s = timeout_start(-1);
  EXPECT_EQ(s.sec, 0);
  EXPECT_EQ(s.usec, 0);
  txc_timestamp now = current_time();
  s = timeout_start(100);
  EXPECT_GE(s.sec, now.sec);
  EXPECT_LE(s.sec, now.sec + 2);
  EXPECT_GE(s.usec, 0);
  EXPECT_LT(s.usec, 1000000);
}

}  // namespace
