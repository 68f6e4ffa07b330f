// The install journal is read at every start, and recovery moves and removes entries of the
// install folder by what it says: any bytes must be read or refused, what is read must read back
// the same when written out again, and no journal may make recovery touch anything outside the
// install folder. Small inode numbers in a journal stand for the inodes of a fixed tree, so that
// the fuzzer reaches the switching and the switching back.
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

#include "FuzzSupport.h"
#include "Launcher/Installer.h"
#include "Launcher/platform/AtomicFiles.h"
#include "Launcher/platform/Console.h"

namespace {

namespace fs = std::filesystem;

using fuzz::fail;

void writeFile(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

// What the code under test logs is not wanted.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  launcher::platform::setConsoleSink([](launcher::platform::ConsoleStream, std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using launcher::InstallJournal;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto journal = InstallJournal::parse(text);
  if (journal) {
    if (InstallJournal::parse(journal->text()) != journal) fail("the journal does not read back");
    for (const auto& entry : journal->entries)
      if (entry.name.empty() || entry.name == "." || entry.name == ".." ||
          entry.name.find('/') != std::string::npos || entry.name.find('\0') != std::string::npos)
        fail("an entry that is not a plain name");
  }

  static const fuzz::ScratchFolder scratch("journal-fuzz");
  const fs::path base = scratch.folder / "case";
  std::error_code ignored;
  fs::remove_all(base, ignored);
  const fs::path install = base / "install", outside = base / "outside";
  fs::create_directories(install / "b");
  fs::create_directories(install / ".staging" / "b");
  fs::create_directories(outside / "folder");
  writeFile(install / "a", "live a");
  writeFile(install / "b" / "f", "live b/f");
  writeFile(install / "version.txt", "3");
  writeFile(install / ".staging" / "a", "staged a");
  writeFile(install / ".staging" / "c", "staged c");
  writeFile(install / ".staging" / "b" / "g", "staged b/g");
  writeFile(outside / "keep", "keep");
  writeFile(outside / "folder" / "inner", "inner");
  fs::create_symlink("../outside", install / "ln");
  fs::create_symlink("../outside/keep", install / ".staging" / "d");
  const auto before = fuzz::listing(outside);

  // The journal as read, with inodes 0 to 9 standing for items of the tree.
  std::string written(text);
  if (journal) {
    const fs::path items[] = {install / "a",
                              install / "b",
                              install / ".staging" / "a",
                              install / ".staging" / "c",
                              install / ".staging" / "b",
                              install / "ln",
                              outside,
                              outside / "keep",
                              install / ".staging",
                              install / ".staging" / "d"};
    for (auto& entry : journal->entries)
      if (entry.inode < std::size(items))
        entry.inode = *launcher::platform::inodeOf(items[entry.inode].string());
    written = journal->text();
  }
  writeFile(install / ".install-journal", written);

  launcher::Installer installer(install.string(), "App");
  const auto recorded = installer.recover();
  if (journal.has_value() != recorded.has_value())
    fail("a journal read gave no version, or one refused gave one");
  if (journal && *recorded != journal->previousVersion && *recorded != journal->newVersion &&
      *recorded != 0)
    fail("recovery gave a version the journal does not name");
  // 0 is also what recovery gives for a mix of versions, so a journal naming version 0 as the
  // new one tells nothing by it.
  if (journal && journal->phase == InstallJournal::Phase::switching &&
      *recorded == journal->newVersion && *recorded != journal->previousVersion && *recorded != 0)
    for (const auto& entry : installer.journal().entries)
      if (launcher::platform::inodeOf((install / entry.name).string()) != entry.inode)
        fail("an install was finished with an entry not in place");
  if (fuzz::listing(outside) != before)
    fail("recovery changed a folder outside the install folder");
  for (const auto& item : fs::directory_iterator(base))
    if (item.path() != install && item.path() != outside)
      fail("recovery put something beside the install folder");
  return 0;
}
