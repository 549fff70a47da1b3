// Scan result accessors, statistics classification and text, code texts.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "support/log_capture.h"
#include "txc_alloc.h"
#include "txc_lib_internal.h"
#include "txc_log.h"
#include "txlib/txlib.h"

namespace {

std::string take_text(char *text) {
  if (text == nullptr) return "<null>";
  std::string out(text);
  free(text);
  return out;
}

class ResultTest : public ::testing::Test {
 protected:
  void TearDown() override { txc_alloc_reset(); }
  LogCapture log_{9};
};

TEST_F(ResultTest, NewResultIsEmpty) {
  txc_scanresult *r = txc_scanresult_create();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(txc_scanresult_status(r), 0u);
  EXPECT_EQ(txc_scanresult_viruses(r), nullptr);
  EXPECT_EQ(txc_scanresult_quarantine(r), nullptr);
  EXPECT_TRUE(log_.has(9, "txlib: quarantine name was not set but you try to get it"));
  txc_scanstat *st = txc_scanresult_stat(r);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(take_text(txc_scanstat_text(st)), "");

  log_.clear();
  EXPECT_STREQ(txc_scanresult_report(r),
               "Tavrix Daemon report was not requested in this configuration.");
  EXPECT_TRUE(log_.has(2, "txlib: report was not requested but you try to get it"));
  EXPECT_EQ(txc_scanresult_free(r), 0);
  EXPECT_EQ(txc_scanresult_free(nullptr), 0);

  txc_alloc_fail_at(1);
  log_.clear();
  EXPECT_EQ(txc_scanresult_create(), nullptr);
  EXPECT_TRUE(log_.contains("txlib: txc_lib(")) << log_.dump();
  EXPECT_TRUE(log_.contains("): no memory for results")) << log_.dump();
}

TEST_F(ResultTest, AccessorsOnNullLogAndReturnStandIns) {
  EXPECT_EQ(txc_scanresult_status(nullptr), 0x8000u);
  EXPECT_TRUE(log_.has(5, "txlib: try to get status from NULL pointer"));
  EXPECT_STREQ(txc_status_strerror(txc_scanresult_status(nullptr)), "invalid call");

  EXPECT_STREQ(txc_scanresult_report(nullptr), "FATAL ERROR: null pointer passed");
  EXPECT_TRUE(log_.has(2, "txlib: try to get report from NULL pointer"));
  EXPECT_EQ(txc_scanresult_viruses(nullptr), nullptr);
  EXPECT_TRUE(log_.has(2, "txlib: try to get viruslist from NULL pointer"));
  EXPECT_EQ(txc_scanresult_quarantine(nullptr), nullptr);
  EXPECT_TRUE(log_.has(2, "txlib: try to get quarantine name from NULL pointer"));
  EXPECT_EQ(txc_scanresult_stat(nullptr), nullptr);
  EXPECT_TRUE(log_.has(2, "txlib: try to get stat from NULL pointer"));

  EXPECT_EQ(txc_scanresult_set_status(nullptr, 1), 0);
  EXPECT_EQ(txc_scanresult_set_report(nullptr, "x"), 0);
  EXPECT_EQ(txc_scanresult_set_quarantine(nullptr, "x"), 0);
  EXPECT_EQ(txc_scanstat_text(nullptr), nullptr);
}

TEST_F(ResultTest, SettersStoreCopiesAndSurviveAllocationFailure) {
  txc_scanresult *r = txc_scanresult_create();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(txc_scanresult_set_status(r, 0x20), 1);
  EXPECT_EQ(txc_scanresult_status(r), 0x20u);

  std::string report = "line 1\nline 2\n";
  EXPECT_EQ(txc_scanresult_set_report(r, report.c_str()), 1);
  report[0] = 'X';
  EXPECT_STREQ(txc_scanresult_report(r), "line 1\nline 2\n");

  // A failed copy keeps the old report.
  txc_alloc_fail_at(1);
  EXPECT_EQ(txc_scanresult_set_report(r, "other"), 0);
  txc_alloc_reset();
  EXPECT_STREQ(txc_scanresult_report(r), "line 1\nline 2\n");
  // NULL clears it.
  EXPECT_EQ(txc_scanresult_set_report(r, nullptr), 1);
  EXPECT_STREQ(txc_scanresult_report(r),
               "Tavrix Daemon report was not requested in this configuration.");

  EXPECT_EQ(txc_scanresult_set_quarantine(r, "/q/first"), 1);
  EXPECT_FALSE(log_.contains("reset quarantine"));
  EXPECT_EQ(txc_scanresult_set_quarantine(r, "/q/second"), 1);
  EXPECT_TRUE(log_.has(9, "txlib: try to reset quarantine name in scanresult"));
  EXPECT_STREQ(txc_scanresult_quarantine(r), "/q/second");
  // A NULL name changes nothing.
  EXPECT_EQ(txc_scanresult_set_quarantine(r, nullptr), 1);
  EXPECT_STREQ(txc_scanresult_quarantine(r), "/q/second");
  // A failed copy leaves no name at all.
  txc_alloc_fail_at(1);
  EXPECT_EQ(txc_scanresult_set_quarantine(r, "/q/third"), 0);
  txc_alloc_reset();
  EXPECT_TRUE(log_.has(2, "txlib: no memory for filename (quarantine)"));
  EXPECT_EQ(txc_scanresult_quarantine(r), nullptr);

  // The result owns a virus list and releases it (checked under ASan).
  r->viruses = strlist_create(0);
  strlist_add(r->viruses, "EICAR-Test-File");
  EXPECT_EQ(txc_scanresult_viruses(r), r->viruses);
  EXPECT_EQ(txc_scanresult_set_report(r, "rep"), 1);
  EXPECT_EQ(txc_scanresult_set_quarantine(r, "/q/again"), 1);
  EXPECT_EQ(txc_scanresult_free(r), 0);
}

TEST_F(ResultTest, StatisticsPairsGoToTheFirstMatchingClass) {
  txc_scanstat st{};
  txc_scanstat_add(&st, 0x60, 3);  // known + unknown virus: infected only
  EXPECT_EQ(st.infected, 3);
  EXPECT_EQ(st.suspicious, 0);
  txc_scanstat_add(&st, 0x1100, 1);  // skipped wins over cured
  EXPECT_EQ(st.skipped, 1);
  EXPECT_EQ(st.cured, 0);
  txc_scanstat_add(&st, 0x100000, 4);  // no class: dropped
  txc_scanstat_add(&st, 0x40, 2);
  txc_scanstat_add(&st, 0x40000, 5);
  txc_scanstat_add(&st, 0x20000, 6);
  txc_scanstat_add(&st, 0x8000, 7);
  txc_scanstat_add(&st, 0x100, 8);
  txc_scanstat_add(&st, 0x80, 1);
  EXPECT_EQ(st.infected, 4);
  EXPECT_EQ(st.suspicious, 2);
  EXPECT_EQ(st.skipped, 1);
  EXPECT_EQ(st.archive_restricted, 5);
  EXPECT_EQ(st.filter_rejected, 6);
  EXPECT_EQ(st.scan_errors, 7);
  EXPECT_EQ(st.cured, 8);
  txc_scanstat_add(nullptr, 0x20, 1);  // ignored

  // Counts from the daemon cannot overflow a counter.
  txc_scanstat big{};
  txc_scanstat_add(&big, 0x20, INT32_MAX - 1);
  txc_scanstat_add(&big, 0x20, 5);
  EXPECT_EQ(big.infected, INT32_MAX);
  txc_scanstat_add(&big, 0x20, INT32_MAX);
  EXPECT_EQ(big.infected, INT32_MAX);
  txc_scanstat_add(&big, 0x20, -10);
  EXPECT_EQ(big.infected, INT32_MAX - 10);
  txc_scanstat_add(&big, 0x1, INT32_MIN);
  txc_scanstat_add(&big, 0x1, -1);
  EXPECT_EQ(big.scan_errors, INT32_MIN);
}

TEST_F(ResultTest, StatisticsTextHasOneLinePerNonZeroCounter) {
  txc_scanstat st{};
  st.infected = 1;
  st.skipped = 2;
  EXPECT_EQ(take_text(txc_scanstat_text(&st)), "Infected : 1\nSkipped object : 2\n");

  txc_scanstat all{1, 2, 3, 4, 5, 6, -7};
  EXPECT_EQ(take_text(txc_scanstat_text(&all)),
            "Infected : 1\nSuspicious : 2\nCured : 3\nFilterRule Reject : 4\n"
            "Skipped object : 5\nArchive restriction : 6\nScanning error : -7\n");

  txc_scanstat extreme{INT32_MIN, 0, 0, 0, 0, 0, INT32_MAX};
  EXPECT_EQ(take_text(txc_scanstat_text(&extreme)),
            "Infected : -2147483648\nScanning error : 2147483647\n");

  // Every allocation it makes may fail; it then returns NULL and leaks nothing.
  for (long nth = 1; nth <= 10; ++nth) {
    txc_alloc_fail_at(nth);
    char *text = txc_scanstat_text(&all);
    long failures = txc_alloc_failures();
    txc_alloc_reset();
    if (failures == 0) {
      EXPECT_NE(text, nullptr);
      free(text);
      break;
    }
    EXPECT_EQ(text, nullptr) << nth;
  }
}

TEST_F(ResultTest, CodeTexts) {
  EXPECT_STREQ(txc_status_strerror(0), "ok");
  EXPECT_STREQ(txc_status_strerror(0x20), "known virus is found");
  EXPECT_STREQ(txc_status_strerror(0x8), "CRC error (archive with wrong CRC)");
  EXPECT_STREQ(txc_status_strerror(0x20000), "rejected by rule filter");
  EXPECT_STREQ(txc_status_strerror(0x120), "unknown code or multiple errors");
  EXPECT_STREQ(txc_status_strerror(0x40000), "unknown code or multiple errors");
  EXPECT_STREQ(txc_status_strerror(0xffffffffu), "unknown code or multiple errors");

  EXPECT_STREQ(txc_lib_strerror(0), "no errors");
  EXPECT_STREQ(txc_lib_strerror(-1), "general fault");
  EXPECT_STREQ(txc_lib_strerror(-6), "try make operation that can be performed only once");
  EXPECT_STREQ(txc_lib_strerror(-10), "library is not initialized");
  EXPECT_STREQ(txc_lib_strerror(-11), "timeout");
  EXPECT_STREQ(txc_lib_strerror(-12), "unknown code or multiple errors");
  EXPECT_STREQ(txc_lib_strerror(5), "unknown code or multiple errors");
}

}  // namespace
