#pragma once

// Versions of an application for the --replace tests: real folders and files, and what
// stands where afterwards.

#include <map>
#include <string>
#include <vector>

#include "support.h"

namespace test {

// A version: a folder holding `app`, a script that appends "<name> <outcome> <exit code>"
// to `record` and exits with `exit_code`, with `version.txt` and a few files of its own
// at some depth; or, with `as_file`, that script alone.
void make_version(const std::string& path, const std::string& name, const std::string& record,
                  int exit_code = 0, const char* sleep_s = "0", bool as_file = false);

// Everything under `path`, by relative path: a file's bytes, "<folder>", or "-> <link>";
// empty when nothing is there.
using Tree = std::map<std::string, std::string>;
Tree tree_of(const std::string& path);

// Which of the versions the path holds whole: "old", "new", "(none)" or "(mixed)".
std::string version_held(const std::string& path, const Tree& old_version, const Tree& new_version);

// The entries of a folder whose names hold ".relauncher-".
std::vector<std::string> siblings_in(const std::string& folder);

// The record's lines once it holds `lines` of them (the relaunch is detached).
std::vector<std::string> records(const std::string& record, std::size_t lines);

// How many relaunches the log tells of.
std::size_t relaunches_logged(const std::string& log);

bool contains(const std::string& text, const std::string& part);
bool exists(const std::string& path);

}  // namespace test
