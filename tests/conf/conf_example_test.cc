// Runs the C example program on its sample file.
#include <gtest/gtest.h>

#include "support/process.h"

TEST(ConfExample, PrintsWhatItRead) {
  ProcessResult r = run_process({CONF_EXAMPLE_PROGRAM, CONF_EXAMPLE_INI});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "[Server]\n"
            "Address = local:/var/run/tavrixd.sock\n"
            "Timeout = 30\n"
            "Verbose = yes\n"
            "[Scan]\n"
            "Mode = 0640\n"
            "Extensions (4): <exe> <com> <scr> <bat>\n"
            "Report = Scan report\n");
  EXPECT_EQ(r.err, "");
}

TEST(ConfExample, ReportsAFileItCannotRead) {
  ProcessResult r = run_process({CONF_EXAMPLE_PROGRAM, "/nonexistent/example.ini"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("txlib: read_conf(/nonexistent/example.ini): No such file or directory"),
            std::string::npos)
      << r.err;
}
