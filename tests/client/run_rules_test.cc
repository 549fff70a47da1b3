#include <gtest/gtest.h>

#include <string>

#include "txc_options.h"
#include "txc_run_rules.h"

namespace {

TEST(ExitBits, StatusWordClasses) {
  EXPECT_EQ(exit_bits_for_status(0), 0);
  EXPECT_EQ(exit_bits_for_status(0x100), 0);  // cured alone is fine
  for (uint32_t virus : {0x20u, 0x40u, 0x80u}) EXPECT_EQ(exit_bits_for_status(virus), 1);
  for (uint32_t skip : {0x8u, 0x200u, 0x400u, 0x800u, 0x1000u})
    EXPECT_EQ(exit_bits_for_status(skip), 2);
  for (uint32_t arch : {0x2000u, 0x4000u, 0x40000u}) EXPECT_EQ(exit_bits_for_status(arch), 4);
  for (uint32_t err : {0x1u, 0x2u, 0x4u, 0x10u, 0x8000u}) EXPECT_EQ(exit_bits_for_status(err), 8);
  EXPECT_EQ(exit_bits_for_status(0x20000), 64);
  EXPECT_EQ(exit_bits_for_status(0x1020), 3);
  EXPECT_EQ(exit_bits_for_status(0x20 | 0x1000 | 0x40000 | 0x8000 | 0x20000 | 0x100), 79);
  // Unknown flags and the unused bit 5 never show up.
  EXPECT_EQ(exit_bits_for_status(0x10000 | 0x80000 | 0xfff00000u), 0);
}

std::string spec_for(void (*setup)(run_settings &)) {
  static run_settings s;
  s = run_settings{};
  setup(s);
  EXPECT_TRUE(build_address_spec(&s));
  return s.address_spec;
}

TEST(AddressSpec, ChoiceAndDefaults) {
  EXPECT_EQ(spec_for([](run_settings &) {}), "default");
  EXPECT_EQ(spec_for([](run_settings &s) { copy_field(s.daemon_host, "scan.example"); }),
            "inet:3000@scan.example");
  EXPECT_EQ(spec_for([](run_settings &s) { s.daemon_port = 3001; }), "inet:3001@localhost");
  EXPECT_EQ(spec_for([](run_settings &s) { s.daemon_port = 0; }), "default");
  EXPECT_EQ(spec_for([](run_settings &s) {
              copy_field(s.daemon_host, "h");
              s.daemon_port = 2147483647;
            }),
            "inet:2147483647@h");
  EXPECT_EQ(spec_for([](run_settings &s) {
              copy_field(s.socket_path, "/run/t.sock");
              copy_field(s.daemon_host, "h");
              copy_field(s.pid_file, "/run/t.pid");
            }),
            "local:/run/t.sock");
  EXPECT_EQ(spec_for([](run_settings &s) {
              copy_field(s.pid_file, "/run/t.pid");
              copy_field(s.daemon_host, "h");
              s.daemon_port = 5;
            }),
            "pid:/run/t.pid");
}

TEST(AddressSpec, RefusesWhatDoesNotFitWhole) {
  run_settings s{};
  copy_field(s.pid_file, std::string(1020, 'p').c_str());  // "pid:" + 1020 = 1024
  ASSERT_TRUE(build_address_spec(&s));
  EXPECT_EQ(std::string(s.address_spec), "pid:" + std::string(1020, 'p'));

  s = run_settings{};
  copy_field(s.pid_file, std::string(1021, 'p').c_str());
  EXPECT_FALSE(build_address_spec(&s));
  EXPECT_EQ(s.address_spec[0], '\0');

  s = run_settings{};
  copy_field(s.socket_path, std::string(1024, 'u').c_str());
  EXPECT_FALSE(build_address_spec(&s));

  s = run_settings{};
  copy_field(s.daemon_host, std::string(1024, 'h').c_str());
  EXPECT_FALSE(build_address_spec(&s));
}

}  // namespace
