// read_section on its own, value conversions and the small helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "conf_test_util.h"
#include "support/log_capture.h"

namespace {

// Runs read_section over `text` with the table; returns its result and
// leaves the stream's next line in *rest.
int run_section(const std::string &text, const txc_conf_var_t *vars, std::string *rest = nullptr,
                int *line_out = nullptr, char sep = '=', char list_sep = ',') {
  FILE *f = stream_of(text);
  int line = 1;
  int rc = read_section(f, &line, "Sect", vars, sep, list_sep);
  if (rest != nullptr) {
    char buf[256] = "";
    if (std::fgets(buf, sizeof buf, f) == nullptr) buf[0] = '\0';
    *rest = buf;
  }
  if (line_out != nullptr) *line_out = line;
  std::fclose(f);
  return rc;
}

TEST(ReadSection, StopsAtHeaderAndHandsItBack) {
  LogCapture log;
  int32_t a = 0;
  txc_conf_var_t vars[] = {var("A", TXC_CONF_TYPE_INT, &a, 4, num(1)), end_var()};
  std::string rest;
  int line = 0;
  EXPECT_EQ(run_section("# c\nA = 2\n  [Next]\nA = 3\n", vars, &rest, &line), 0);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(rest, "  [Next]\n");  // the header line, read again from its start
  EXPECT_EQ(line, 3);             // the header's own number
  EXPECT_TRUE(log.has(9, "txlib: read_section(Sect): format string = <%255[a-zA-Z_.]=>"));

  EXPECT_EQ(run_section("A : 4", vars, nullptr, &line, ':'), 0);
  EXPECT_EQ(a, 4);
  EXPECT_EQ(line, 2);
}

TEST(ReadSection, NumbersAndTheirRanges) {
  LogCapture log;
  int32_t i = 0, u = 0, o = 0;
  txc_conf_var_t vars[] = {var("Int", TXC_CONF_TYPE_INT, &i, 4, num(-3)),
                           var("UInt", TXC_CONF_TYPE_UINT, &u, 4, num(7)),
                           var("Oct", TXC_CONF_TYPE_OCTAL, &o, 4, num(0644)), end_var()};
  EXPECT_EQ(run_section("", vars), 0);
  EXPECT_EQ(i, -3);
  EXPECT_EQ(u, 7);
  EXPECT_EQ(o, 0644);

  EXPECT_EQ(run_section("int=-42abc\nUINT=2147483647\noct=0755\n", vars), 0);
  EXPECT_EQ(i, -42);
  EXPECT_EQ(u, 2147483647);
  EXPECT_EQ(o, 0755);

  // Values that yield no number or do not fit are illegal.
  const char *bad[] = {"UInt=-1",         "UInt=4294967295",
                       "UInt=2147483648", "UInt=",
                       "Int=x",           "Int=",
                       "Int=2147483648",  "Int=99999999999999999999",
                       "Oct=9",           "UInt=-18446744073709551615",
                       "Oct=77777777777", "Int=\"5\""};
  for (const char *line : bad) {
    log.clear();
    EXPECT_EQ(run_section(std::string(line) + "\n", vars), -1) << line;
    EXPECT_TRUE(log.has(2, "txlib: read_section(Sect): illegal value in line 1")) << line;
  }
  EXPECT_EQ(run_section("Int=-2147483648\nOct=037777777777\n", vars), 0);
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_EQ(o, -1);
}

TEST(ReadSection, Booleans) {
  LogCapture log;
  int32_t b = 5;
  txc_conf_var_t vars[] = {var("Flag", TXC_CONF_TYPE_BOOL, &b, 4, num(0)), end_var()};
  EXPECT_EQ(run_section("Flag = \"ON\"\n", vars), 0);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(run_section("Flag = False\n", vars), 0);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(run_section("Flag = yess\n", vars), -1);
  EXPECT_EQ(run_section("Flag = 1\n", vars), -1);

  int r = 9;
  char word[] = "\"Yes\"";
  EXPECT_EQ(getbool(word, &r), 1);
  EXPECT_EQ(r, 1);
  char other[] = "maybe";
  EXPECT_EQ(getbool(other, &r), 0);
  EXPECT_EQ(r, 1);  // unchanged
  EXPECT_EQ(getbool(nullptr, &r), 0);
  EXPECT_EQ(getbool(word, nullptr), 0);
}

TEST(ReadSection, FixedBufferStrings) {
  LogCapture log;
  // Guard bytes around the buffer catch any write past its 8 bytes.
  struct {
    char before[8];
    char buf[8];
    char after[8];
  } mem;
  std::memset(&mem, 'G', sizeof mem);
  txc_conf_var_t no_default[] = {var("S", TXC_CONF_TYPE_STRING, mem.buf, 8), end_var()};
  EXPECT_EQ(run_section("", no_default), 0);
  EXPECT_STREQ(mem.buf, "");  // no default: an empty text, never a NULL write

  EXPECT_EQ(run_section("S = \"1234 67\"\n", no_default), 0);
  EXPECT_STREQ(mem.buf, "1234 67");

  log.clear();
  EXPECT_EQ(run_section("S = 12345678\n", no_default), -1);
  EXPECT_TRUE(log.has(2, "txlib: getstring: storage not enough (8) for value (8)")) << log.dump();
  EXPECT_TRUE(log.has(2, "txlib: read_section(Sect): illegal value in line 1"));
  for (char c : mem.before) EXPECT_EQ(c, 'G');
  for (char c : mem.after) EXPECT_EQ(c, 'G');

  txc_conf_var_t with_default[] = {var("S", TXC_CONF_TYPE_STRING, mem.buf, 8, text("dflt")),
                                   end_var()};
  EXPECT_EQ(run_section("", with_default), 0);
  EXPECT_STREQ(mem.buf, "dflt");
  EXPECT_TRUE(log.has(9, "txlib: read_section(Sect): for S default = dflt, value = dflt"));

  txc_conf_var_t long_default[] = {var("S", TXC_CONF_TYPE_STRING, mem.buf, 8, text("12345678")),
                                   end_var()};
  log.clear();
  EXPECT_EQ(run_section("", long_default), -1);
  EXPECT_TRUE(log.has(
      2,
      "txlib: read_section(Sect): storage not enough (8) for default (8) for 1 variable passed"));
  for (char c : mem.after) EXPECT_EQ(c, 'G');

  // getstring called directly with a NULL buffer refuses instead of writing.
  char *none = nullptr;
  char value[] = "x";
  EXPECT_EQ(getstring(value, &none, 4), 0);
}

TEST(ReadSection, HeapStringsAndLists) {
  LogCapture log;
  char *s = reinterpret_cast<char *>(0x1);  // whatever the caller had is not freed
  txc_strlist *list = reinterpret_cast<txc_strlist *>(0x1);
  txc_conf_var_t vars[] = {var("S", TXC_CONF_TYPE_STRING, &s, 0),
                           var("L", TXC_CONF_TYPE_STRLIST, &list, 0), end_var()};
  EXPECT_EQ(run_section("", vars), 0);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(list, nullptr);
  EXPECT_TRUE(log.has(9, "txlib: read_section(Sect): for S default = NULL, value = NULL"));

  EXPECT_EQ(run_section("S=\nL = a,,b\nL = x, \"y z\" ,w\n", vars), 0);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "");  // an empty value is an empty text
  EXPECT_EQ(items(list), (std::vector<std::string>{"x", "y z", "w"}));
  release_table(vars);

  EXPECT_EQ(run_section("L = a,,b\n", vars), 0);
  EXPECT_EQ(items(list), (std::vector<std::string>{"a", "b"}));
  release_table(vars);

  EXPECT_EQ(run_section("L =\n", vars), 0);
  ASSERT_NE(list, nullptr);  // an empty list, not NULL
  EXPECT_EQ(strlist_count(list), 0);
  release_table(vars);

  // A list separator of ";" leaves commas inside items.
  EXPECT_EQ(run_section("L = a,b;c\n", vars, nullptr, nullptr, '=', ';'), 0);
  EXPECT_EQ(items(list), (std::vector<std::string>{"a,b", "c"}));
  release_table(vars);

  // A failure later in the section releases what was stored.
  EXPECT_EQ(run_section("S = kept\nL = q\nBad line\n", vars), -1);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(list, nullptr);
}

TEST(ReadSection, MalformedLines) {
  LogCapture log;
  int32_t a = 0;
  txc_conf_var_t vars[] = {var("A", TXC_CONF_TYPE_INT, &a, 4, num(0)), end_var()};
  EXPECT_EQ(run_section("A=1\n9A = 3\n", vars), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_section(Sect): illegal line 2"));
  EXPECT_EQ(run_section("A 3\n", vars), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_section(Sect): no separator (=) in line 1"));
  // Text between the name and the separator is ignored; the value starts
  // after the first separator.
  EXPECT_EQ(run_section("A(ignored)=12=3\n", vars), 0);
  EXPECT_EQ(a, 12);
  // A name longer than 255 characters is cut, so it matches nothing.
  log.clear();
  EXPECT_EQ(run_section(std::string(300, 'A') + "=1\n", vars), 0);
  EXPECT_TRUE(log.has(
      5, "txlib: read_section(Sect): unknown variable " + std::string(255, 'A') + " in line 1"));
}

TEST(ReadSection, BadTablesAndSeparators) {
  LogCapture log;
  char *s = nullptr;
  int32_t n = 0;
  txc_strlist *list = nullptr;

  // A bad descriptor after a string default releases that default.
  txc_conf_var_t wrong_len[] = {var("S", TXC_CONF_TYPE_STRING, &s, 0, text("d")),
                                var("N", TXC_CONF_TYPE_INT, &n, 2), end_var()};
  EXPECT_EQ(run_section("", wrong_len), -1);
  EXPECT_TRUE(
      log.has(2, "txlib: read_section(Sect): wrong len (2) of storage for 2 variable passed"));
  EXPECT_EQ(s, nullptr);

  txc_conf_var_t wrong_type[] = {var("S", TXC_CONF_TYPE_STRING, &s, 0, text("d")),
                                 var("N", 7, &n, 4), end_var()};
  EXPECT_EQ(run_section("", wrong_type), -1);
  EXPECT_TRUE(
      log.has(2, "txlib: read_section(Sect): wrong type (7) of value for 2 variable passed"));
  EXPECT_EQ(s, nullptr);

  txc_conf_var_t null_name[] = {var(nullptr, TXC_CONF_TYPE_INT, &n, 4), end_var()};
  EXPECT_EQ(run_section("", null_name), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_section(Sect): null name for 1 variable passed"));

  txc_conf_var_t null_storage[] = {var("N", TXC_CONF_TYPE_INT, nullptr, 4), end_var()};
  EXPECT_EQ(run_section("", null_storage), -1);
  EXPECT_TRUE(log.has(2, "txlib: read_section(Sect): null pointer to value for 1 variable passed"));

  txc_conf_var_t list_default[] = {var("L", TXC_CONF_TYPE_STRLIST, &list, 0, text("a")), end_var()};
  EXPECT_EQ(run_section("", list_default), -1);
  EXPECT_TRUE(log.has(
      2, "txlib: read_section(Sect): default value for string list currently not supported"));

  txc_conf_var_t ok[] = {var("N", TXC_CONF_TYPE_INT, &n, 4, num(1)), end_var()};
  for (char c : {'a', 'Z', '5', '_', '#', '"', ' ', '\t', '\0'}) {
    EXPECT_EQ(valid_separator(c), 0) << int(c);
    EXPECT_EQ(run_section("", ok, nullptr, nullptr, c), -1) << int(c);
    EXPECT_EQ(run_section("", ok, nullptr, nullptr, '=', c), -1) << int(c);
  }
  EXPECT_TRUE(log.has(2, "txlib: read_section(Sect): invalid separator (a) passed"));
  for (char c : {'=', ':', ',', ';', '%', '|'}) EXPECT_NE(valid_separator(c), 0) << c;

  // "%" as separator must not upset the name scan.
  EXPECT_EQ(run_section("N % 42\n", ok, nullptr, nullptr, '%'), 0);
  EXPECT_EQ(n, 42);

  int line = 1;
  EXPECT_EQ(read_section(nullptr, &line, "Sect", ok, '=', ','), -1);
}

TEST(ConfHelpers, QuotesAndObsoleteTables) {
  char q[] = "\"a\"b\"\"c\"";
  strip_quotes(q);
  EXPECT_STREQ(q, "abc");
  strip_quotes(nullptr);

  EXPECT_EQ(obsolete_section("Submitter]"), 2);
  EXPECT_EQ(obsolete_section("sendmailcommunication"), 2);
  EXPECT_EQ(obsolete_section("MailbombNotificationsX"), 1);
  EXPECT_EQ(obsolete_section("Submit"), 0);  // shorter than the row's name
  EXPECT_EQ(obsolete_section("Main]"), 0);
  EXPECT_EQ(obsolete_section(nullptr), 0);

  EXPECT_EQ(obsolete_parameter("ScanningMore", "pathprefixes"), 1);
  EXPECT_EQ(obsolete_parameter("Actions", "VirusReport"), 1);
  EXPECT_EQ(obsolete_parameter("logging", "LOCATION"), 2);
  EXPECT_EQ(obsolete_parameter("Logging", "PathPrefix"), 0);  // row of another section
  EXPECT_EQ(obsolete_parameter("Scan", "PathPrefix"), 0);
  EXPECT_EQ(obsolete_parameter(nullptr, "Location"), 0);

  txc_strlist *list = nullptr;
  char value[] = "\"a\",b";
  EXPECT_EQ(getstringlist(value, &list, ','), 1);
  EXPECT_EQ(items(list), (std::vector<std::string>{"a", "b"}));
  char again[] = "c";
  EXPECT_EQ(getstringlist(again, &list, ','), 1);  // replaces (and frees) the first list
  EXPECT_EQ(items(list), std::vector<std::string>{"c"});
  strlist_free(list);

  char *s = nullptr;
  char v1[] = "one";
  char v2[] = "\"two\"";
  EXPECT_EQ(getstring(v1, &s, 0), 1);
  EXPECT_EQ(getstring(v2, &s, 0), 1);  // releases "one"
  EXPECT_STREQ(s, "two");
  std::free(s);
  EXPECT_EQ(free_conf(nullptr), 0);
}

}  // namespace
