// The feed tool packs whatever application folder the publisher points it at: names, folders and
// links of any shape. Every package it writes must be one the launcher's extraction installs
// whole, with the same files, folders and links; what it refuses, it must refuse with a reason
// and never crash; a folder holding a named pipe it must refuse. The input describes the folder,
// one item a line: "d <path>" a folder, "f <path>" a file holding its path, "l <path> <target>" a
// link, "p <path>" a named pipe.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "FuzzSupport.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/Text.h"
#include "Zipwell/Zipwell.h"
#include "tools/feed/PackageWriter.h"

namespace {

namespace fs = std::filesystem;

using fuzz::fail;

// A path of the description, kept inside the application folder: no absolute path, no "..".
bool usable(std::string_view path) {
  if (path.empty() || path.front() == '/' || path.size() > 200) return false;
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view part = path.substr(start, slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

// Whether `path` below `app`, or a folder on the way to it, is a link: what is made there would
// be made where the link leads, outside the scratch folder.
bool throughLink(const fs::path& app, std::string_view path) {
  fs::path at = app;
  for (const auto& part : fs::path(path)) {
    at /= part;
    if (fs::is_symlink(fs::symlink_status(at))) return true;
  }
  return false;
}

}  // namespace

// What the code under test logs is not wanted.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  launcher::platform::setConsoleSink([](launcher::platform::ConsoleStream, std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 2048) return 0;
  static const fuzz::ScratchFolder scratch("package-writer-fuzz");
  const fs::path base = scratch.folder / "case";
  std::error_code error;
  fs::remove_all(base, error);
  const fs::path app = base / "App.app";
  fs::create_directories(app);

  std::string_view text(reinterpret_cast<const char*>(data), size);
  int items = 0;
  // Pipes are made last: writing a file that is one would wait for a reader.
  std::vector<fs::path> pipes;
  while (!text.empty() && items < 24) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.size() < 3 || line[1] != ' ') continue;
    std::string_view rest = line.substr(2);
    ++items;
    if (line[0] == 'l') {
      const std::size_t blank = rest.find(' ');
      if (blank == std::string_view::npos || !usable(rest.substr(0, blank)) ||
          throughLink(app, fs::path(rest.substr(0, blank)).parent_path().native()))
        continue;
      const fs::path at = app / std::string(rest.substr(0, blank));
      fs::create_directories(at.parent_path(), error);
      // A link that cannot be made is simply not in the folder.
      static_cast<void>(::symlink(std::string(rest.substr(blank + 1)).c_str(), at.c_str()));
    } else if (!usable(rest) || throughLink(app, rest)) {
      continue;
    } else if (line[0] == 'd') {
      fs::create_directories(app / std::string(rest), error);
    } else if (line[0] == 'f') {
      const fs::path at = app / std::string(rest);
      fs::create_directories(at.parent_path(), error);
      std::ofstream(at, std::ios::binary) << rest;
    } else if (line[0] == 'p') {
      pipes.push_back(app / std::string(rest));
    }
  }
  bool pipe = false;
  for (const fs::path& at : pipes) {
    if (throughLink(app, at.lexically_relative(app).native())) continue;
    fs::create_directories(at.parent_path(), error);
    pipe = ::mkfifo(at.c_str(), 0600) == 0 || pipe;
  }
  // What fs could not make (a path through a file or a link) is simply not in the folder.
  const auto before = fuzz::listing(app);

  const fs::path archive = base / "package.zip";
  const auto written = launcher::feed::writePackage(app, archive);
  if (const auto* failure = std::get_if<launcher::feed::Failure>(&written)) {
    if (failure->message.empty()) fail("a folder was refused without a reason");
    return 0;
  }
  if (pipe) fail("a folder holding a named pipe was packed");
  const fs::path out = base / "out";
  fs::create_directories(out);
  std::optional<launcher::platform::ErrorRecord> record;
  if (!launcher::Zipwell::unzipFileAtPath(archive.string(), out.string(), true, std::nullopt,
                                          &record)) {
    std::fprintf(stderr, "extraction: %s\n", record ? record->description.c_str() : "?");
    fail("a package the feed tool wrote does not extract");
  }
  auto after = fuzz::listing(out / "App.app");
  // Nested archives are unpacked where they lie: such names were only written, never compared.
  bool nested = false;
  for (const auto& [path, content] : before)
    nested = nested || launcher::platform::hasZipExtension(fs::path(path).filename().string());
  if (!nested && after != before) fail("the extracted folder is not the packed one");
  return 0;
}
