#include "tests/support/TestFolders.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "Launcher/Config.h"

namespace launcher::testing {
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "launcher-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  // Restore write permission where a test removed it, so that everything can go.
  for (auto it = fs::recursive_directory_iterator(path_, error); !error && it != fs::end(it);
       it.increment(error)) {
    if (it->is_directory() && !it->is_symlink())
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, error);
  fs::remove_all(path_, error);
}

namespace {
void save(const char* name, std::string& value, bool& had) {
  const char* current = std::getenv(name);
  had = current != nullptr;
  if (had) value = current;
}
void restore(const char* name, const std::string& value, bool had) {
  if (had)
    ::setenv(name, value.c_str(), 1);
  else
    ::unsetenv(name);
}
}  // namespace

UserFolders::UserFolders() {
  save("HOME", savedHome_, hadHome_);
  save("XDG_DATA_HOME", savedData_, hadData_);
  save("XDG_CACHE_HOME", savedCache_, hadCache_);
  fs::create_directories(dataHome());
  fs::create_directories(cacheHome());
  fs::create_directories(root_ / "home");
  ::setenv("HOME", (root_ / "home").c_str(), 1);
  ::setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
  ::setenv("XDG_CACHE_HOME", cacheHome().c_str(), 1);
}

UserFolders::~UserFolders() {
  restore("HOME", savedHome_, hadHome_);
  restore("XDG_DATA_HOME", savedData_, hadData_);
  restore("XDG_CACHE_HOME", savedCache_, hadCache_);
}

TimeZone::TimeZone(const std::string& zone) {
  save("TZ", saved_, had_);
  ::setenv("TZ", zone.c_str(), 1);
  ::tzset();
}

TimeZone::~TimeZone() {
  restore("TZ", saved_, had_);
  ::tzset();
}

std::string UserFolders::installFolder() const {
  return dataHome() + "/" + APPLICATION_NAME();
}

std::vector<std::string> tree(const std::string& root) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
       it.increment(error)) {
    const std::string relative = it->path().lexically_relative(root).string();
    if (it->is_symlink())
      entries.push_back(relative + "@" + fs::read_symlink(it->path()).string());
    else if (it->is_directory())
      entries.push_back(relative + "/");
    else
      entries.push_back(relative + "=" + readFile(it->path().string()));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string fileUrl(const std::string& path) {
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), curl_url_cleanup);
  char* text = nullptr;
  if (!url || curl_url_set(url.get(), CURLUPART_SCHEME, "file", 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), CURLU_URLENCODE) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK)
    throw std::runtime_error("no file address for " + path);
  std::string address(text);
  curl_free(text);
  return address;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void writeFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace launcher::testing
