// --sha256 on Linux: the digest against the standard's vectors, and end to end, a
// verified installer that runs from relauncher's sealed copy whatever happens to the file.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "files/sha256.h"
#include "support.h"

namespace {

using test::TempDir;

std::string digest_of(const std::string& bytes, std::size_t piece) {
  relauncher::Sha256 hash;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    relauncher::sha256_add(hash, bytes.data() + at, std::min(piece, bytes.size() - at));
  }
  return relauncher::sha256_hex(hash);
}

TEST(Sha256, GivesTheStandardsDigestsHoweverTheInputIsCut) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{1000}}) {
      EXPECT_EQ(digest_of(c.message, piece), c.digest) << c.message.size() << " in pieces of " << piece;
    }
  }
}

// The digest as coreutils computes it.
std::string sha256sum(const std::string& file) {
  FILE* pipe = popen(("sha256sum '" + file + "'").c_str(), "r");
  char digest[65] = {};
  const bool read = pipe != nullptr && std::fread(digest, 1, 64, pipe) == 64;
  if (pipe != nullptr) {
    pclose(pipe);
  }
  return read ? digest : "";
}

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

TEST(Verify, TheProgramThatRunsIsTheOneVerified) {
  enum class Change { none, written, moved_over, truncated, wrong_digit, missing, data_file };
  const struct {
    Change change;
    bool runs;
    const char* logged;
  } cases[] = {
      {Change::none, true, " matches"},
      // After relauncher has hashed it, while it waits for the application:
      {Change::written, true, " matches"},
      {Change::moved_over, true, " matches"},
      // Before relauncher starts:
      {Change::truncated, false, " does not match (expected "},
      {Change::wrong_digit, false, " does not match (expected "},
      {Change::missing, false, " could not be held: error 2 "},
      // A file beside the program, verified too.
      {Change::data_file, true, " matches"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.change));
    TempDir dir;
    const std::string script = dir.file("set:up.sh");  // the first colon ends the digest
    const std::string ran = dir.file("ran");
    const auto script_saying = [&](const char* word) {
      return "#!/bin/sh\necho " + std::string(word) + " \"$@\" > '" + ran + "'\n";
    };
    test::write_file(script, script_saying("verified"), 0755);
    const std::string verified = c.change == Change::data_file ? dir.file("data") : script;
    test::write_file(dir.file("data"), "package", 0644);
    std::string digest = sha256sum(verified);
    ASSERT_EQ(digest.size(), 64u);
    digest = c.change == Change::wrong_digit ? digest.substr(0, 63) + (digest[63] == '0' ? "1" : "0")
                                             : upper(digest);  // either case is a digest
    if (c.change == Change::truncated) {
      test::write_file(script, script_saying("verified").substr(0, 20), 0755);
    }
    if (c.change == Change::missing) {
      unlink(script.c_str());
    }
    const std::string application = test::copy_probe(dir, "app");
    const std::string relaunched = test::copy_probe(dir, "relaunched");
    const pid_t app = test::start_probe(application, 700);
    ASSERT_TRUE(test::wait_until_started(application));
    const pid_t tool = test::start_tool({"--log", dir.file("log"), "--wait-pid", std::to_string(app),
                                         "--sha256", digest + ":" + verified, "--relaunch-on-failure",
                                         "--relaunch", relaunched, "--", script, "x"});
    test::pause_for_ms(300);  // relauncher holds the file, and waits
    if (c.change == Change::written) {
      test::write_file(script, script_saying("written"), 0755);
    }
    if (c.change == Change::moved_over) {
      test::write_file(dir.file("other.sh"), script_saying("moved"), 0755);
      ASSERT_EQ(rename(dir.file("other.sh").c_str(), script.c_str()), 0);
    }
    EXPECT_EQ(test::finish(tool), c.runs ? 0 : 255);
    test::finish(app);
    const std::string log = test::read_file(dir.file("log")).value_or("");
    EXPECT_NE(log.find(" verify file=\"" + verified + "\""), std::string::npos) << log;
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    // Held from before the wait: the verify line comes before the wait's.
    EXPECT_LT(log.find(" verify "), log.find(" wait pid=")) << log;
    const std::string expected = c.change == Change::data_file || c.runs ? "verified x\n" : "";
    EXPECT_EQ(test::read_file(ran).value_or(""), expected);
    const auto relaunch = test::wait_until_started(relaunched);
    ASSERT_TRUE(relaunch);
    EXPECT_EQ(relaunch->outcome, c.runs ? "succeeded" : "not-started");
  }
}

TEST(Verify, MalformedValuesMakeTheLineUnusable) {
  TempDir dir;
  const std::string setup = test::copy_probe(dir, "setup");
  const std::string digits(64, 'a');
  for (const std::string& value : {digits, digits + ":", digits.substr(1) + ":" + setup,
                                   "g" + digits.substr(1) + ":" + setup, digits + setup}) {
    SCOPED_TRACE(value);
    const test::ToolRun run = test::run_tool(
        {"--log", dir.file("log"), "--wait-pid", test::absent_pid(), "--sha256", value, "--", setup});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_NE(test::read_file(dir.file("log")).value_or("").find(
                  " usage a --sha256 that is not <64 hexadecimal digits>:<file>"),
              std::string::npos);
    EXPECT_FALSE(test::probe_started(setup));
    unlink(dir.file("log").c_str());
  }
}

}  // namespace
