#include "versions.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace test {

namespace {

void add_to_tree(const std::string& path, const std::string& relative, Tree& tree) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    return;
  }
  if (S_ISLNK(info.st_mode)) {
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    tree[relative] = "-> " + std::string(target, length > 0 ? static_cast<std::size_t>(length) : 0);
  } else if (!S_ISDIR(info.st_mode)) {
    tree[relative] = read_file(path).value_or("(unreadable)");
  } else {
    tree[relative] = "<folder>";
    DIR* folder = opendir(path.c_str());
    while (const dirent* entry = folder != nullptr ? readdir(folder) : nullptr) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        add_to_tree(path + "/" + name, relative + "/" + name, tree);
      }
    }
    if (folder != nullptr) {
      closedir(folder);
    }
  }
}

}  // namespace

void make_version(const std::string& path, const std::string& name, const std::string& record,
                  int exit_code, const char* sleep_s, bool as_file) {
  const std::string script = "#!/bin/sh\necho \"" + name +
                             " ${RELAUNCHER_OUTCOME:-unset} ${RELAUNCHER_EXIT_CODE:-unset}\" >> '" +
                             record + "'\nsleep " + sleep_s + "\nexit " +
                             std::to_string(exit_code) + "\n";
  if (as_file) {
    write_file(path, script, 0755);
    return;
  }
  (void)std::system(("mkdir -p '" + path + "/lib/deep'").c_str());
  write_file(path + "/app", script, 0755);
  write_file(path + "/version.txt", name);
  write_file(path + "/lib/" + name + "-only.txt", name + " alone has this");
  write_file(path + "/lib/deep/data.txt", std::string(70000, name[0]));
}

Tree tree_of(const std::string& path) {
  Tree tree;
  add_to_tree(path, "", tree);
  return tree;
}

std::string version_held(const std::string& path, const Tree& old_version, const Tree& new_version) {
  const Tree found = tree_of(path);
  return found.empty()          ? "(none)"
         : found == old_version ? "old"
         : found == new_version ? "new"
                                : "(mixed)";
}

std::vector<std::string> siblings_in(const std::string& folder) {
  std::vector<std::string> found;
  DIR* listing = opendir(folder.c_str());
  while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
    if (contains(entry->d_name, ".relauncher-")) {
      found.push_back(folder + "/" + entry->d_name);
    }
  }
  if (listing != nullptr) {
    closedir(listing);
  }
  return found;
}

std::vector<std::string> records(const std::string& record, std::size_t lines) {
  for (int waited = 0; waited < 10000; waited += 20) {
    const std::vector<std::string> found = lines_of(read_file(record).value_or(""));
    if (found.size() >= lines) {
      return found;
    }
    pause_for_ms(20);
  }
  return lines_of(read_file(record).value_or(""));
}

std::size_t relaunches_logged(const std::string& log) {
  std::size_t count = 0;
  for (const std::string& line : lines_of(read_file(log).value_or(""))) {
    count += contains(line, " relaunch pid=") ? 1 : 0;
  }
  return count;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

}  // namespace test
