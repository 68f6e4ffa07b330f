// Extraction of arbitrary bytes, on one thread or two: it may refuse or fail, but never crash, and
// never write anything outside its destination. The destination lies in a folder of its own, inside
// another one, and both are checked to hold nothing else afterwards; no link made may lead out of
// it.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/FileManager.h"
#include "Zipwell/Zipwell.h"

namespace {
namespace fs = std::filesystem;

struct Workspace {
  fuzz::ScratchFolder scratch{"zipwell-fuzz"};
  fs::path outer = fs::canonical(scratch.folder);  // holds only "inner"
  fs::path inner = outer / "inner";                // holds only "package.zip" and "out"
  fs::path archive = inner / "package.zip";        // the input
  fs::path destination = inner / "out";            // where it is extracted
  Workspace() { fs::create_directory(inner); }
};

const Workspace& workspace() {
  static const Workspace made;
  return made;
}

using fuzz::fail;

void expectOnly(const fs::path& folder, const std::set<std::string>& allowed) {
  for (const auto& item : fs::directory_iterator(folder))
    if (!allowed.contains(item.path().filename().string()))
      fail("written outside the destination: " + item.path().string());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The extraction's log lines would only slow the runs down.
  launcher::platform::setConsoleSink([](launcher::platform::ConsoleStream, std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Workspace& w = workspace();
  {
    std::ofstream out(w.archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) fail("cannot write the input");
  }
  // Small archives are extracted on the caller's thread alone; an input of odd length is shared
  // among two threads, as a large archive is, so that the walk the threads share is tried too.
  launcher::Zipwell::setThreadCount(size % 2 == 1 ? 2 : 0);
  std::optional<launcher::platform::ErrorRecord> error;
  const bool extracted = launcher::Zipwell::unzipFileAtPath(
      w.archive.string(), w.destination.string(), true, std::nullopt, &error);
  if (!extracted && (!error || error->description.empty())) fail("a failure without a record");
  if (extracted && error) fail("a success with an error record");

  expectOnly(w.outer, {"inner"});
  expectOnly(w.inner, {"package.zip", "out"});
  std::error_code ignored;
  if (fs::is_directory(fs::symlink_status(w.destination))) {
    for (auto it = fs::recursive_directory_iterator(w.destination); it != fs::end(it); ++it) {
      if (!it->is_symlink()) continue;
      // Where its target leads from its folder, links on the way followed as far as they exist,
      // the rest taken as written, must lie inside.
      const fs::path target = fs::read_symlink(it->path(), ignored);
      const fs::path resolved = fs::weakly_canonical(it->path().parent_path() / target, ignored);
      if (!ignored && !launcher::platform::isWithin(resolved, w.destination))
        fail("a link leads outside: " + it->path().string() + " -> " + resolved.string());
    }
  }
  fs::remove_all(w.destination, ignored);
  if (ignored) fail("cannot clear the destination: " + ignored.message());
  return 0;
}
