// --sha256 on Linux: the digest against the standard's vectors, and end to end, a
// verified installer that runs from relauncher's sealed copy whatever happens to the file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <random>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "files/sha256.h"
#include "support.h"

namespace {

using test::TempDir;

using relauncher::Sha256Compression;

// The compressions this processor can run: the portable one always, the SHA extensions
// where the processor has them.
std::vector<Sha256Compression> compressions() {
  if (relauncher::sha256_extensions_available()) {
    return {Sha256Compression::portable, Sha256Compression::extensions};
  }
  std::cout << "the SHA-extension compression is not tested: this processor has none\n";
  return {Sha256Compression::portable};
}

std::string digest_of(const std::string& bytes, std::size_t piece,
                      Sha256Compression compression = Sha256Compression::fastest) {
  relauncher::Sha256 hash = relauncher::sha256_start(compression);
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
  for (const Sha256Compression compression : compressions()) {
    for (const auto& c : cases) {
      for (const std::size_t piece : {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{1000}}) {
        EXPECT_EQ(digest_of(c.message, piece, compression), c.digest)
            << c.message.size() << " in pieces of " << piece << " by " << static_cast<int>(compression);
      }
    }
  }
  // 2^29 bytes and more: a length in bits no longer fits 32 bits (installers are that big).
  // Streamed a megabyte at a time; the digest is coreutils' sha256sum's of as many zeros.
  const std::string megabyte(1 << 20, '\0');
  relauncher::Sha256 hash;
  for (int i = 0; i < 512; ++i) {
    relauncher::sha256_add(hash, megabyte.data(), megabyte.size());
  }
  relauncher::sha256_add(hash, megabyte.data(), 100);
  EXPECT_EQ(relauncher::sha256_hex(hash), "b5e920a66e366cc320737a98fb79ccb913ae38f4cf0c03b27595cf492a695503");
}

// The extensions' digest is the portable code's, for any length and any cuts.
TEST(Sha256, BothCompressionsAgreeOnRandomLengthsAndCuts) {
  // The extensions are used exactly where the processor has them, as the kernel reads it.
  const std::string cpu = test::read_file("/proc/cpuinfo").value_or("");
  const auto listed = [&](const std::string& flag) {
    return cpu.find(" " + flag + " ") != std::string::npos || cpu.find(" " + flag + "\n") != std::string::npos;
  };
  EXPECT_EQ(relauncher::sha256_extensions_available(), listed("sha_ni") && listed("ssse3") && listed("sse4_1"));
  if (!relauncher::sha256_extensions_available()) {
    GTEST_SKIP() << "this processor has no SHA extensions: only the portable code runs here";
  }
  std::mt19937 random(20261208);
  std::string bytes(1 << 20, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(random());
  }
  for (int round = 0; round < 200; ++round) {
    const std::size_t length = 1 + random() % bytes.size();
    const std::size_t piece = 1 + random() % (length < 5000 ? length : 5000);
    const std::string message = bytes.substr(random() % (bytes.size() - length + 1), length);
    EXPECT_EQ(digest_of(message, piece, Sha256Compression::extensions),
              digest_of(message, piece, Sha256Compression::portable))
        << length << " in pieces of " << piece;
  }
}

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

TEST(Verify, TheProgramThatRunsIsTheOneVerified) {
  enum class Change { none, written, moved_over, truncated, wrong_digit, missing, data_file, rerun_after_moved_over };
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
      // A script that runs itself again (as through pkexec) runs the verified bytes.
      {Change::rerun_after_moved_over, true, " matches"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.change));
    TempDir dir;
    const std::string script = dir.file("set:up.sh");  // the first colon ends the digest
    const std::string ran = dir.file("ran");
    const std::string rerun = c.change == Change::rerun_after_moved_over
                                  ? "[ -n \"$AGAIN\" ] || AGAIN=1 exec /bin/sh \"$RELAUNCHER_VERIFIED_COPY\" \"$@\"\n"
                                  : "";
    const auto script_saying = [&](const char* word) {
      return "#!/bin/sh\n" + rerun + "echo " + std::string(word) + " \"$@\" > '" + ran + "'\n";
    };
    test::write_file(script, script_saying("verified"), 0755);
    const std::string verified = c.change == Change::data_file ? dir.file("data") : script;
    test::write_file(dir.file("data"), "package", 0644);
    std::string digest = test::sha256sum(verified);
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
    ASSERT_TRUE(test::wait_for_text(dir.file("log"), " verify "));  // held, and waiting
    if (c.change == Change::written) {
      test::write_file(script, script_saying("written"), 0755);
    }
    if (c.change == Change::moved_over || c.change == Change::rerun_after_moved_over) {
      test::write_file(dir.file("other.sh"), script_saying("moved"), 0755);
      ASSERT_EQ(rename(dir.file("other.sh").c_str(), script.c_str()), 0);
    }
    EXPECT_EQ(test::finish(tool), c.runs ? 0 : 255);
    test::finish(app);
    const std::string log = test::read_file(dir.file("log")).value_or("");
    EXPECT_NE(log.find(" verify file=\"" + verified + "\""), std::string::npos) << log;
    EXPECT_EQ(log.find(" verify ", log.find(" verify ") + 1), std::string::npos) << "told twice\n" << log;
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    // Hashed while the application is waited for, and every hash in before the start.
    EXPECT_EQ(log.find(" run pid=") == std::string::npos || log.find(" verify ") < log.find(" run pid="), true)
        << log;
    const std::string expected = c.change == Change::data_file || c.runs ? "verified x\n" : "";
    EXPECT_EQ(test::read_file(ran).value_or(""), expected);
    const auto relaunch = test::wait_until_started(relaunched);
    ASSERT_TRUE(relaunch);
    EXPECT_EQ(relaunch->outcome, c.runs ? "succeeded" : "not-started");
  }
}

// A value of /proc/meminfo or /proc/<pid>/status, in KiB; 0 when absent.
long kib_of(const std::string& file, const std::string& key) {
  const std::string text = test::read_file(file).value_or("");
  const std::size_t at = text.find(key + ":");
  return at == std::string::npos ? 0 : std::atol(text.c_str() + at + key.size() + 1);
}

// A verified file of 2 GB costs neither shared memory nor relauncher's own of its size
// (its copy is a file of its own beside it), and when the wait gives up the hash stops
// with it: nothing more is logged of it, and nothing runs.
TEST(Verify, ALargeFileCostsNoMemoryOfItsSizeAndItsHashEndsWithTheWait) {
  TempDir dir;
  const std::string verified = dir.file("package.bin");
  ASSERT_EQ(truncate((test::write_file(verified, ""), verified).c_str(), 2000000000), 0);  // sparse
  const std::string application = test::copy_probe(dir, "app");
  const pid_t app = test::start_probe(application, 60000);  // never ends within the wait
  ASSERT_TRUE(test::wait_until_started(application));
  const long shared_before = kib_of("/proc/meminfo", "Shmem");
  const pid_t tool = test::start_tool({"--log", dir.file("log"), "--wait-pid", std::to_string(app), "--wait-timeout",
                                       "1", "--sha256", std::string(64, 'a') + ":" + verified, "--",
                                       test::copy_probe(dir, "setup")});
  const std::string status = "/proc/" + std::to_string(tool) + "/status";
  long most_shared = 0, most_own = 0;
  while (!test::wait_for_text(dir.file("log"), " end code=", 20)) {
    most_shared = std::max(most_shared, kib_of("/proc/meminfo", "Shmem") - shared_before);
    most_own = std::max(most_own, kib_of(status, "RssAnon") + kib_of(status, "RssShmem"));
  }
  EXPECT_EQ(test::finish(tool), 255);
  kill(app, SIGKILL);
  test::finish(app);
  const std::string log = test::read_file(dir.file("log")).value_or("");
  EXPECT_LT(most_shared, 64 * 1024) << "the copy was made in memory";
  EXPECT_LT(most_own, 64 * 1024);
  EXPECT_NE(log.find(" still running after 1 s: gave up"), std::string::npos) << log;
  EXPECT_EQ(log.find(" verify file="), std::string::npos) << "the hash outlived the wait\n" << log;
  // Ended soon after the wait gave up (a whole copy and hash of the file took seconds more).
  const auto logged_ms = [&](const char* text) {
    const std::size_t at = log.rfind('\n', log.find(text)) + 1;  // the line's start
    return std::atol(log.c_str() + at + 17) * 1000 + std::atol(log.c_str() + at + 20);  // ss.mmm
  };
  const long after_giving_up = (logged_ms(" end code=") - logged_ms(" gave up") + 60000) % 60000;
  EXPECT_LT(after_giving_up, 3000) << log;
  EXPECT_FALSE(test::probe_started(dir.file("setup")));
}

// Nothing runs with --sha256 that could not run without it, nothing of the check leaks
// into what runs, and no file can keep relauncher waiting.
// Once a descriptor of the process leads to the file, within 10 s.
bool wait_until_held(pid_t process, const std::string& file) {
  const std::string folder = "/proc/" + std::to_string(process) + "/fd/";
  for (int waited = 0; waited < 10000; ++waited) {
    for (int fd = 3; fd < 64; ++fd) {
      char link[4096];
      const ssize_t length = readlink((folder + std::to_string(fd)).c_str(), link, sizeof link);
      if (length > 0 && std::string(link, static_cast<std::size_t>(length)) == file) {
        return true;
      }
    }
    test::pause_for_ms(1);
  }
  return false;
}

TEST(Verify, RunsOnlyWhatCouldRunWithoutItAndNeverBlocks) {
  enum class Kind {
    elf, script_without_execute_bit, noexec_mount, hard_link_replaced, fifo, endless_device, first_of_two_differs,
    large_file, shrinks_while_copied
  };
  const struct {
    Kind kind;
    int exit_code;
    const char* logged;
  } cases[] = {
      {Kind::elf, 0, " matches"},
      {Kind::script_without_execute_bit, 255, " run error 13 "},
      {Kind::noexec_mount, 255, " run error 13 "},
      {Kind::hard_link_replaced, 0, " matches"},
      {Kind::fifo, 255, " could not be held: not a regular file"},
      {Kind::endless_device, 255, " could not be held: not a regular file"},
      // One that differs stops the start, whatever the files after it.
      {Kind::first_of_two_differs, 255, " does not match (expected "},
      // Hashing outlasts the application's wait: the program still starts only after it.
      {Kind::large_file, 0, " matches"},
      // Cut short while relauncher copies it: what is left is hashed, and no more.
      {Kind::shrinks_while_copied, 255, " does not match (expected "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    TempDir dir;
    const std::string ran = dir.file("ran");
    std::string script = dir.file("setup.sh");
    if (c.kind == Kind::noexec_mount) {
      // A tmpfs of the test's own, mounted noexec (root only).
      (void)mkdir(dir.file("noexec").c_str(), 0755);
      if (std::system(("mount -t tmpfs -o noexec tmpfs '" + dir.file("noexec") + "' 2>/dev/null").c_str()) != 0) {
        std::cout << "skipped the noexec row: this machine lets the test mount no tmpfs\n";
        continue;
      }
      script = dir.file("noexec/setup.sh");
    }
    test::write_file(script, "#!/bin/sh\necho verified > '" + ran + "'\n",
                     c.kind == Kind::script_without_execute_bit ? 0644 : 0755);
    const std::string probe = test::copy_probe(dir, "setup");
    const std::string relaunched = test::copy_probe(dir, "relaunched");
    std::string verified = c.kind == Kind::elf ? probe : script;
    if (c.kind == Kind::large_file) {
      verified = dir.file("package.bin");
      ASSERT_EQ(std::system(("head -c 200000000 /dev/zero > '" + verified + "'").c_str()), 0);
    }
    if (c.kind == Kind::shrinks_while_copied) {
      verified = dir.file("package.bin");
      ASSERT_EQ(truncate((test::write_file(verified, ""), verified).c_str(), 2000000000), 0);  // sparse
    }
    const bool package = c.kind == Kind::large_file || c.kind == Kind::shrinks_while_copied;
    std::string program = package ? script : verified;
    if (c.kind == Kind::hard_link_replaced) {
      program = dir.file("other-name.sh");
      ASSERT_EQ(link(script.c_str(), program.c_str()), 0);
    }
    std::string digest = c.kind == Kind::shrinks_while_copied ? std::string(64, 'a') : test::sha256sum(verified);
    if (c.kind == Kind::fifo) {
      verified = dir.file("fifo");
      ASSERT_EQ(mkfifo(verified.c_str(), 0644), 0);
    }
    if (c.kind == Kind::endless_device) {
      verified = "/dev/zero";
    }
    const std::string application = test::copy_probe(dir, "app");
    const pid_t app = test::start_probe(application, c.kind == Kind::large_file ? 50 : 500);
    ASSERT_TRUE(test::wait_until_started(application));
    std::vector<std::string> line = {"--log", dir.file("log"), "--wait-pid", std::to_string(app)};
    if (c.kind == Kind::first_of_two_differs) {
      test::write_file(dir.file("data"), "package");
      line.insert(line.end(), {"--sha256", std::string(64, '0') + ":" + dir.file("data")});
    }
    line.insert(line.end(), {"--sha256", digest + ":" + verified, "--relaunch", relaunched, "--", program});
    const pid_t tool = test::start_tool(line,
                                        [] { alarm(20); });  // ended long before the suite's timeout
    if (c.kind == Kind::shrinks_while_copied) {
      ASSERT_TRUE(wait_until_held(tool, verified));
      ASSERT_EQ(truncate(verified.c_str(), 0), 0);
    }
    if (c.kind == Kind::hard_link_replaced) {
      ASSERT_TRUE(test::wait_for_text(dir.file("log"), " verify "));
      test::write_file(dir.file("planted.sh"), "#!/bin/sh\necho planted > '" + ran + "'\n", 0755);
      ASSERT_EQ(rename(dir.file("planted.sh").c_str(), program.c_str()), 0);
    }
    EXPECT_EQ(test::finish(tool), c.exit_code);
    test::finish(app);
    if (c.kind == Kind::noexec_mount) {
      (void)std::system(("umount -l '" + dir.file("noexec") + "'").c_str());
    }
    const std::string log = test::read_file(dir.file("log")).value_or("");
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    if (c.exit_code == 0) {
      EXPECT_LT(log.find(" verify "), log.find(" run pid=")) << "started before every hash was in\n" << log;
    }
    if (c.kind == Kind::elf) {
      const auto record = test::probe_started(probe);
      const auto relaunch = test::wait_until_started(relaunched);
      ASSERT_TRUE(record && relaunch);
      EXPECT_EQ(record->fds, "") << "the sealed copy reached the program";
      EXPECT_EQ(record->verified_path, probe);
      EXPECT_EQ(relaunch->verified_path, "unset");
    } else {
      EXPECT_EQ(test::read_file(ran).value_or(""), c.exit_code == 0 ? "verified\n" : "");
    }
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
