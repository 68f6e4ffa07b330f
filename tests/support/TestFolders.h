#pragma once
// Temporary folders for tests, and per-user folders pointed at them.
#include <string>
#include <vector>

namespace launcher::testing {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Points HOME, XDG_DATA_HOME and XDG_CACHE_HOME into a fresh temporary folder for the life of the
// object and restores them afterwards. The install folder is then dataHome()/<APPLICATION_NAME>.
class UserFolders {
 public:
  UserFolders();
  ~UserFolders();
  UserFolders(const UserFolders&) = delete;
  UserFolders& operator=(const UserFolders&) = delete;
  const std::string& root() const { return root_.path(); }
  std::string dataHome() const { return root_ / "data"; }
  std::string cacheHome() const { return root_ / "cache"; }
  std::string installFolder() const;

 private:
  TempDir root_;
  std::string savedHome_, savedData_, savedCache_;
  bool hadHome_ = false, hadData_ = false, hadCache_ = false;
};

// Sets TZ (a POSIX rule such as "CET-1CEST,M3.5.0,M10.5.0/3" needs no zone files) for the life
// of the object and restores it afterwards.
class TimeZone {
 public:
  explicit TimeZone(const std::string& zone);
  ~TimeZone();
  TimeZone(const TimeZone&) = delete;
  TimeZone& operator=(const TimeZone&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};

// Every entry under `root`, sorted: "dir/", "file=content", "link@target".
std::vector<std::string> tree(const std::string& root);

// The file:// address of the absolute path `path`, with spaces and the like percent-encoded.
std::string fileUrl(const std::string& path);

// Whole-file helpers.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// The lines of `text`, without their line feeds; a last line without one counts too.
std::vector<std::string> linesOf(const std::string& text);

}  // namespace launcher::testing
