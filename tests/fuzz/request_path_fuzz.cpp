// The feed server maps request paths from the network to files: whatever the path, the answer
// is a regular file inside the feed folder that is neither hidden nor reached by leaving the
// folder, or an error status.
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "Launcher/platform/FileManager.h"
#include "tools/feed/FeedServer.h"

namespace {
namespace fs = std::filesystem;

using fuzz::fail;

void write(const fs::path& path, const char* text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A feed with the files a publisher writes, hidden staging files, links that stay inside and
// links that leave, and a secret beside it; removed at exit.
struct Feed {
  fuzz::ScratchFolder scratch{"request-path-fuzz"};
  fs::path base = fs::canonical(scratch.folder);
  fs::path root = base / "feed";
  Feed() {
    fs::create_directories(root / "v");
    fs::create_directories(root / "sub" / ".hidden");
    write(base / "secret.txt", "secret");
    write(root / "v" / "version", "{}");
    write(root / "package_mac.zip", "zip");
    write(root / "package_mac.zip.minisig", "sig");
    write(root / "v" / ".version.tmp", "staging");
    write(root / "sub" / ".hidden" / "file", "hidden");
    fs::create_symlink("v/version", root / "latest");
    fs::create_symlink("../secret.txt", root / "escape");
    fs::create_symlink("/", root / "root");
    fs::create_symlink("..", root / "sub" / "up");
    fs::create_directory_symlink("v", root / "alias");
  }
};

const fs::path& feed() {
  static const Feed made;
  return made.root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  const launcher::feed::Resolution found = launcher::feed::resolveRequestPath(feed(), path);
  if (found.status != 200) {
    if (found.status != 400 && found.status != 403 && found.status != 404)
      fail("unexpected status " + std::to_string(found.status));
    return 0;
  }
  if (!launcher::platform::isWithin(found.file, feed()) || found.file == feed())
    fail("served from outside the feed: " + found.file.string());
  for (const auto& part : found.file.lexically_relative(feed()))
    if (part.string().starts_with(".")) fail("served a hidden file: " + found.file.string());
  struct stat status {};
  if (::stat(found.file.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
    fail("served something other than a regular file: " + found.file.string());
  return 0;
}
