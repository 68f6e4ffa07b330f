#pragma once
// The controller's surroundings in a shipped launcher, the same for every front end.
#include <memory>

#include "Launcher/ViewController.h"

namespace launcher {

// The front end's main queue, alerts and way of ending, with the rest of the real services: one
// thread per background task, launching from the install folder, libcurl, and the public key and
// display pauses of the build configuration.
Environment makeProductionEnvironment(platform::UserPaths paths,
                                      std::shared_ptr<platform::MainQueue> mainQueue,
                                      std::shared_ptr<platform::Alerts> alerts,
                                      std::shared_ptr<platform::Application> application);

}  // namespace launcher
