#include "driver/options.h"

#include <gtest/gtest.h>

#include <optional>

namespace relauncher {
namespace {

using Args = std::vector<std::string>;

TEST(ParsePid, ReadsTheSignAndTheLongestDigitRun) {
  const struct {
    const char* text;
    std::int64_t expected;
  } cases[] = {
      {"4242", 4242},
      {"4242abc", 4242},
      {"0042", 42},
      {"1.5", 1},
      {"-7", -7},
      {"+7", 0},
      {" 7", 0},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"-0", 0},
      {"0x10", 0},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", 0},
      {"92233720368547758070", 0},
      {"-9223372036854775808", INT64_MIN},
      {"-9223372036854775809", 0},
      {"99999999999999999999999x1", 0},
      {"4294967296", 4294967296},
      {"4294967295", 4294967295},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_pid(c.text), c.expected) << '"' << c.text << '"';
  }
}

struct Expected {
  std::int64_t wait_pid;
  std::optional<std::u16string> relaunch_app;
  std::string program;
  Args program_args;
  bool valid;
};

void expect_options(const Args& args, const Expected& expected) {
  std::string shown;
  for (const std::string& arg : args) {
    shown += "[" + arg + "] ";
  }
  SCOPED_TRACE(shown);
  const LaunchOptions options = parse_options(args);
  EXPECT_EQ(options.wait_pid, expected.wait_pid);
  EXPECT_EQ(options.relaunch_app, expected.relaunch_app);
  EXPECT_EQ(options.program, expected.program);
  EXPECT_EQ(options.program_args, expected.program_args);
  EXPECT_EQ(options.valid, expected.valid);
}

TEST(ParseOptions, PicksOutTheFields) {
  expect_options({"--wait-pid", "4242", "--", "setup.exe"}, {4242, std::nullopt, "setup.exe", {}, true});
  expect_options({"--wait-pid", "4242", "--relaunch", R"(C:\App\app.exe)", "--", R"(C:\Tmp\setup.exe)", "/quiet"},
                 {4242, u"C:\\App\\app.exe", R"(C:\Tmp\setup.exe)", {"/quiet"}, true});
  // Bytes after "--" are kept exactly, quotes and all.
  expect_options({"--wait-pid", "1", "--", "p", "", " a\"b ", "\xFC"}, {1, std::nullopt, "p", {"", " a\"b ", "\xFC"}, true});
  expect_options({"--wait-pid", "4294967296", "--", "p"}, {4294967296, std::nullopt, "p", {}, true});
  expect_options({"--wait-pid", "9223372036854775807", "--", "p"}, {INT64_MAX, std::nullopt, "p", {}, true});
}

TEST(ParseOptions, ValidityNeedsAPositivePidAndAProgram) {
  expect_options({}, {0, std::nullopt, "", {}, false});
  expect_options({"--wait-pid", "4242"}, {4242, std::nullopt, "", {}, false});
  expect_options({"--wait-pid", "4242", "--"}, {4242, std::nullopt, "", {}, false});
  expect_options({"--wait-pid", "4242", "--", "", "x"}, {4242, std::nullopt, "", {"x"}, false});
  expect_options({"--", "setup.exe"}, {0, std::nullopt, "setup.exe", {}, false});
  expect_options({"--wait-pid", "0", "--", "p"}, {0, std::nullopt, "p", {}, false});
  expect_options({"--wait-pid", "-7", "--", "p"}, {-7, std::nullopt, "p", {}, false});
  expect_options({"--wait-pid", "-9223372036854775808", "--", "p"}, {INT64_MIN, std::nullopt, "p", {}, false});
  expect_options({"--wait-pid", "9223372036854775808", "--", "p"}, {0, std::nullopt, "p", {}, false});
  expect_options({"--Wait-Pid", "5", "--", "p"}, {0, std::nullopt, "p", {}, false});
  expect_options({"--wait-pid=5", "--", "p"}, {0, std::nullopt, "p", {}, false});
  expect_options({"--wait-pid", "5", "p"}, {5, std::nullopt, "", {}, false});
}

TEST(ParseOptions, ConsumesValuesAndStopsAtTheFirstFreeDoubleDash) {
  // An option's value is whatever follows it, even "--" or another option word.
  expect_options({"--wait-pid", "--", "5", "--", "p"}, {0, std::nullopt, "p", {}, false});
  expect_options({"--relaunch", "--", "--wait-pid", "5", "--", "p"}, {5, u"--", "p", {}, true});
  expect_options({"--relaunch", "--wait-pid", "5", "--", "p"}, {0, u"--wait-pid", "p", {}, false});
  // Repeats: the last one wins, and an unreadable later pid replaces a good one.
  expect_options({"--wait-pid", "5", "--wait-pid", "7", "--", "p"}, {7, std::nullopt, "p", {}, true});
  expect_options({"--wait-pid", "5", "--wait-pid", "x", "--", "p"}, {0, std::nullopt, "p", {}, false});
  expect_options({"--relaunch", "a", "--relaunch", "b", "--wait-pid", "5", "--", "p"}, {5, u"b", "p", {}, true});
  expect_options({"--relaunch", "", "--wait-pid", "5", "--", "p"}, {5, u"", "p", {}, true});
  // Nothing after the first "--" is interpreted.
  expect_options({"--wait-pid", "5", "--", "p", "--wait-pid", "9", "--"}, {5, std::nullopt, "p", {"--wait-pid", "9", "--"}, true});
  expect_options({"--wait-pid", "5", "--", "--relaunch", "x"}, {5, std::nullopt, "--relaunch", {"x"}, true});
  // Unknown words and strays are skipped; a trailing option without a value changes nothing.
  expect_options({"--verbose", "--wait-pid", "5", "stray", "--", "p"}, {5, std::nullopt, "p", {}, true});
  expect_options({"--wait-pid", "5", "--wait-pid"}, {5, std::nullopt, "", {}, false});
  expect_options({"--relaunch", "a", "--relaunch"}, {0, u"a", "", {}, false});
}

TEST(ParseOptions, ReadsLogWithAValueAndElevateWithout) {
  const struct {
    Args args;
    std::optional<std::u16string> log;
    bool elevate;
    std::int64_t wait_pid;
    bool valid;
  } cases[] = {
      {{"--log", "a.log", "--elevate", "--wait-pid", "5", "--", "p"}, u"a.log", true, 5, true},
      {{"--wait-pid", "5", "--log", "a.log", "--log", "b.log", "--", "p", "--elevate"}, u"b.log", false, 5, true},
      {{"--log", "--wait-pid", "5", "--", "p"}, u"--wait-pid", false, 0, false},
      {{"--log", "--", "--wait-pid", "5", "--", "p", "--log", "c"}, u"--", false, 5, true},
      {{"--wait-pid", "--elevate", "--log", "", "--", "p"}, std::nullopt, false, 0, false},
      {{"--relaunch", "--elevate", "--Elevate", "--wait-pid", "5", "--", "p"}, std::nullopt, false, 5, true},
      {{"--wait-pid", "5", "--elevate=1", "--log"}, std::nullopt, false, 5, false},
  };
  for (const auto& c : cases) {
    const LaunchOptions options = parse_options(c.args);
    EXPECT_EQ(log_file_option(c.args), c.log);
    EXPECT_EQ(options.elevate, c.elevate);
    EXPECT_EQ(options.wait_pid, c.wait_pid);
    EXPECT_EQ(options.valid, c.valid);
  }
}

}  // namespace
}  // namespace relauncher
