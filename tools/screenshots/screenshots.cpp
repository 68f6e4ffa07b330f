// Runs the real launcher window against the configured version server and saves pictures of it:
// the install offer, and the finished state after pressing Download.
//   launcher-screenshots OUTPUT_FOLDER
#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <string>

#include "frontends/qt/LauncherApp.h"
#include "frontends/qt/MainWindow.h"

namespace {

bool visible(QWidget* window, const char* name) {
  auto* button = window->findChild<QPushButton*>(name);
  return button != nullptr && button->isVisible();
}

// Progress and failures go to standard error; should that be gone, the exit status still tells.
void report(const std::string& line) {
  static_cast<void>(std::fprintf(stderr, "%s\n", line.c_str()));
}

bool save(QWidget* window, const QString& path) {
  const bool saved = window->grab().save(path, "PNG");
  report(std::string(saved ? "saved " : "cannot save ") + path.toLocal8Bit().constData());
  return saved;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    report("usage: launcher-screenshots OUTPUT_FOLDER");
    return 2;
  }
  QApplication application(argc, argv);
  const QString folder = QString::fromLocal8Bit(argv[1]);
  launcher::qt::LauncherApp launcher(&launcher::qt::LauncherApp::productionEnvironment);
  if (!launcher.start()) return 1;
  QWidget* window = launcher.window();

  enum class Stage { offer, finished } stage = Stage::offer;
  int status = 1;
  QTimer poll;
  poll.setInterval(100);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (stage == Stage::offer && visible(window, "downloadButton")) {
      if (!save(window, folder + "/offer.png")) return application.exit(1);
      window->findChild<QPushButton*>("downloadButton")->click();
      stage = Stage::finished;
    } else if (stage == Stage::finished && visible(window, "launchButton")) {
      status = save(window, folder + "/finished.png") ? 0 : 1;
      application.exit(status);
    }
  });
  poll.start();
  QTimer::singleShot(30'000, [&] {
    report("the launcher did not reach the expected state in time");
    application.exit(1);
  });
  application.exec();
  static_cast<void>(std::fflush(nullptr));  // nothing is left to tell a failure to
  // The worker thread may still be inside the controller: end without running destructors.
  std::_Exit(status);
}
