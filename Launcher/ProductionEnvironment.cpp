#include "Launcher/ProductionEnvironment.h"

#include <utility>

#include "Launcher/Config.h"

namespace launcher {

Environment makeProductionEnvironment(platform::UserPaths paths,
                                      std::shared_ptr<platform::MainQueue> mainQueue,
                                      std::shared_ptr<platform::Alerts> alerts,
                                      std::shared_ptr<platform::Application> application) {
  Environment environment;
  environment.workspace = std::make_shared<platform::LinuxWorkspace>(paths.installFolder);
  environment.paths = std::move(paths);
  environment.mainQueue = std::move(mainQueue);
  environment.backgroundQueue = std::make_shared<platform::ThreadBackgroundQueue>();
  environment.alerts = std::move(alerts);
  environment.application = std::move(application);
  environment.httpSession = std::make_shared<platform::CurlHttpSession>();
  environment.publicKey = APPLICATION_PUBLIC_KEY();
  environment.progressPause = PROGRESS_PAUSE();
  environment.finishingPause = FINISHING_PAUSE();
  environment.downloadRetryPause = DOWNLOAD_RETRY_PAUSE();
  return environment;
}

}  // namespace launcher
