// What the fuzz targets share: the end of a run on a finding, and for those that work on files a
// scratch folder of their own in the temporary folder, removed at exit, and a listing of a tree
// to compare before and after.
#pragma once

#include <errno.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace fuzz {

// Ends the run on a finding, naming the target and what it found; libFuzzer keeps the input.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  std::abort();
}

// A folder "<name>-XXXXXX" made in the temporary folder; the target ends when it cannot be made.
struct ScratchFolder {
  std::filesystem::path folder;
  explicit ScratchFolder(const char* name) {
    std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) fail("no temporary folder");
    folder = pattern;
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

// Each path below `root`, with a file's bytes, a link's target ("-> target") or "/" for a folder.
inline std::map<std::string, std::string> listing(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> found;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string relative = it->path().lexically_relative(root).string();
    if (it->is_symlink()) {
      found[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else if (it->is_regular_file()) {
      std::ifstream in(it->path(), std::ios::binary);
      found[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    } else {
      found[relative] = "/";
    }
  }
  return found;
}

}  // namespace fuzz
