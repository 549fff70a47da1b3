// The stand-in daemon's signature file reader and streaming matcher.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin_sig.h"

namespace {

using standin::Matcher;
using standin::SignatureSet;

std::vector<uint8_t> bytes(const std::string &s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

void feed(Matcher *m, const std::vector<uint8_t> &data, size_t from, size_t to) {
  m->feed(data.data() + from, to - from);
}

TEST(StandinSignatures, FileTextFormat) {
  SignatureSet set;
  std::string error;
  ASSERT_TRUE(set.load_text("# comment\n\n  One 414243\r\nTwo\t61 62 63 64\nThree FF\n", &error))
      << error;
  ASSERT_EQ(set.signatures().size(), 4u);  // the built-in one comes first
  EXPECT_EQ(set.signatures()[0].name, standin::kTestFileVirusName);
  EXPECT_EQ(set.signatures()[1].name, "One");
  EXPECT_EQ(set.signatures()[1].bytes, bytes("ABC"));
  EXPECT_EQ(set.signatures()[2].bytes, bytes("abcd"));
  EXPECT_EQ(set.signatures()[3].bytes, std::vector<uint8_t>{0xff});

  const std::string bad[] = {"Odd 414",      "Letters 41zz",    "NoBytes",
                             "NoBytes   \n", "Ctrl\x01name 41", std::string(129, 'n') + " 41"};
  for (const std::string &text : bad) {
    SignatureSet s;
    std::string why;
    EXPECT_FALSE(s.load_text("Fine 41\n" + text, &why)) << text;
    EXPECT_NE(why.find("line 2"), std::string::npos) << why;
    EXPECT_EQ(s.signatures().size(), 1u) << "a failed load must add nothing";
  }
  SignatureSet s;
  EXPECT_TRUE(s.load_text("Max " + std::string(2 * standin::kMaxSignatureBytes, 'a'), &error));
  EXPECT_FALSE(
      s.load_text("Over " + std::string(2 * standin::kMaxSignatureBytes + 2, 'a'), &error));
}

TEST(StandinSignatures, FoundWhereverThePiecesAreCut) {
  SignatureSet set;
  std::string error;
  ASSERT_TRUE(set.load_text("Short 7a7a\nLong 0102030405060708090a0b0c0d0e0f10\n", &error));
  std::vector<uint8_t> data(300, 'x');
  const std::vector<uint8_t> test = standin::test_file_bytes();
  std::copy(test.begin(), test.end(), data.begin() + 100);
  for (int i = 0; i < 16; ++i) data[200 + i] = static_cast<uint8_t>(i + 1);
  data[250] = 'z';
  data[251] = 'z';

  for (size_t cut = 0; cut <= data.size(); ++cut) {
    Matcher m(set);
    feed(&m, data, 0, cut);
    feed(&m, data, cut, data.size());
    EXPECT_EQ(m.found().size(), 3u) << "cut at " << cut;
  }
  Matcher bytewise(set);
  for (size_t i = 0; i < data.size(); ++i) feed(&bytewise, data, i, i + 1);
  EXPECT_EQ(bytewise.found(), (std::vector<std::string>{"EICAR-Test-File", "Long", "Short"}));
}

TEST(StandinSignatures, ReportsEachOnceAndNothingPartial) {
  SignatureSet set;
  std::string error;
  ASSERT_TRUE(set.load_text("Pair 4142\n", &error));
  Matcher m(set);
  for (int i = 0; i < 100; ++i) m.feed(reinterpret_cast<const uint8_t *>("xxAB"), 4);
  EXPECT_EQ(m.found(), std::vector<std::string>{"Pair"});

  // Almost the test file: one byte changed, and one byte missing.
  std::vector<uint8_t> t = standin::test_file_bytes();
  Matcher near(set);
  std::vector<uint8_t> changed = t;
  changed[30] ^= 1;
  near.feed(changed.data(), changed.size());
  near.feed(t.data(), t.size() - 1);
  EXPECT_TRUE(near.found().empty());

  // A large feed is split internally and still finds a match near its end.
  std::vector<uint8_t> big(1 << 20, 0);
  std::copy(t.begin(), t.end(), big.end() - 70);
  Matcher large(set);
  large.feed(big.data(), big.size());
  EXPECT_EQ(large.found(), std::vector<std::string>{"EICAR-Test-File"});
}

}  // namespace
