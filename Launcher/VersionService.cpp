// The version request: one GET of "http://" + APPLICATION_VERSION_PATH, answered on the HTTP
// session's own thread while the worker waits on a semaphore. A request that fails never ends the
// launcher nor touches the version file: the user is told, and the workflow goes on with nothing
// received, so that an installed application can still be launched without a network.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <semaphore>

#include "Launcher/Config.h"
#include "Launcher/VersionAnswer.h"
#include "Launcher/VersionNumbers.h"
#include "Launcher/ViewController.h"
#include "Launcher/platform/Application.h"
#include "Launcher/platform/Console.h"
#include "Launcher/platform/Nfd.h"
#include "Launcher/platform/UniqueFd.h"

namespace launcher {
namespace {

using Semaphore = std::counting_semaphore<>;

constexpr const char* kNotText = "(the answer is not UTF-8 text)";
constexpr const char* kMalformedAnswer = "Error serializing JSON!\nFile can be removed.";
constexpr const char* kInstalledIsUsed = "The installed version will be used.";
constexpr const char* kNothingInstalled =
    "Nothing is installed yet: try again when the server can be reached.";
// Far more than any version text; the file is only peeked at.
constexpr std::size_t kVersionPeekBytes = 64;

// True when the version file records a version other than 0 and its application can start, as
// the workflow decides. Nothing is created: the workflow creates the file later if need be.
bool somethingInstalled(const ViewController& controller) {
  if (!platform::findApplication(controller.installFolder(), APPLICATION_NAME())) return false;
  const std::string& versionFile = controller.versionLocation();
  // Read as the workflow reads it: a link is not followed, and anything but a file (a pipe would
  // keep the request's thread, and the waiting worker, for ever) records nothing.
  const platform::UniqueFd file(
      ::open(versionFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  struct stat status {};
  if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  char buffer[kVersionPeekBytes];
  ssize_t count;
  do {
    count = ::read(file.get(), buffer, sizeof buffer);
  } while (count < 0 && errno == EINTR);
  return count > 0 &&
         parseLenientVersion(std::string_view(buffer, static_cast<std::size_t>(count))) != 0;
}

// The failure alert of a request that gave nothing: its text, then what happens now. Its one
// button only closes it.
void reportNothingReceived(ViewController& controller, const std::string& text) {
  platform::Alert alert;
  alert.messageText = "Error";
  alert.informativeText =
      text + "\n\n" + (somethingInstalled(controller) ? kInstalledIsUsed : kNothingInstalled);
  alert.style = platform::kCriticalAlertStyle;
  alert.buttons = {"OK"};
  controller.environment().alerts->runModal(alert);
}

void handleAnswer(ViewController& controller, const std::optional<std::string>& body,
                  const std::optional<platform::HttpError>& error, Semaphore& done) {
  if (error) {
    platform::printLine("error=" + error->description);
    reportNothingReceived(controller, "Failed to launch the application.\n " + error->description);
    done.release();
    return;
  }
  const std::string text = body.value_or("");
  platform::printLine("responseString = " +
                      (platform::isValidUtf8(text) ? text : std::string(kNotText)));

  VersionAnswer answer = readVersionAnswer(text);
  switch (answer.kind) {
    case VersionAnswer::Kind::notJson:
      reportNothingReceived(controller, "Failed to serialize the version.\n ");
      break;
    case VersionAnswer::Kind::array:
      break;
    case VersionAnswer::Kind::malformed:
      controller.DisplayAlert(kMalformedAnswer);
      break;
    case VersionAnswer::Kind::received:
      controller.version = answer.version;
      controller.url = std::move(answer.url);
      controller.signature = std::move(answer.signature);
      controller.manifestAddress = std::move(answer.manifest);
      controller.versionReceived = true;
      break;
  }
  done.release();
}

}  // namespace

void ViewController::SerializeJSON() {
  auto done = std::make_shared<Semaphore>(0);
  // Set when memory ran out while the session's thread handled the answer.
  auto noMemory = std::make_shared<std::atomic<bool>>(false);
  const auto address = platform::Url::parse("http://" + APPLICATION_VERSION_PATH());
  auto self = shared_from_this();
  if (!address) {
    // Only a broken build-time server setting gets here; report it like an unreachable server.
    handleAnswer(*self, std::nullopt,
                 platform::HttpError{"the version server address \"http://" +
                                     APPLICATION_VERSION_PATH() + "\" is not a valid URL"},
                 *done);
  } else {
    environment_.httpSession->dataTask(
        *address, [self, done, noMemory](const std::optional<std::string>& body,
                                         const std::optional<platform::HttpError>& error) {
          try {
            handleAnswer(*self, body, error, *done);
          } catch (const std::bad_alloc&) {
            // Nothing on this thread would catch it: the waiting worker ends the workflow, as
            // when memory runs out on its own steps.
            *noMemory = true;
            done->release();
          }
        });
  }
  done->acquire();
  if (*noMemory) throw std::bad_alloc();
}

}  // namespace launcher
