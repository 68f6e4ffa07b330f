// launcher-feed: publishes releases for the launcher and serves them.
//   launcher-feed publish --app DIR --version N --base-url URL --out FEED [--package-name NAME]
//                         [--versioned-name] [--secret-key FILE] [--force]
//   launcher-feed serve FEED --port P [--host H] [--prefix /PATH]
//   launcher-feed keygen --out DIR [--name NAME] [--force]
//   launcher-feed --version
#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>

#include "Launcher/platform/FileManager.h"
#include "tools/feed/FeedServer.h"
#include "tools/feed/Keygen.h"
#include "tools/feed/Publish.h"

namespace {

using namespace launcher::feed;

int run(int argc, char** argv) {
  CLI::App app{"Publishes application releases for the launcher and serves them over HTTP."};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("launcher-feed ") + LAUNCHER_VERSION,
                       "Print the version and exit");

  PublishRequest publish;
  std::string appFolder, feedFolder;
  auto* publishCommand =
      app.add_subcommand("publish", "Write the package and the version document into a feed");
  publishCommand->add_option("--app", appFolder, "The application folder (<name>.app)")->required();
  publishCommand->add_option("--version", publish.version, "Release number, a whole number > 0")
      ->required();
  publishCommand
      ->add_option("--base-url", publish.baseUrl, "http(s) address at which the feed is served")
      ->required();
  publishCommand->add_option("--out", feedFolder, "The feed folder to write into")->required();
  publishCommand->add_option("--package-name", publish.packageName, "File name of the package")
      ->capture_default_str();
  publishCommand->add_flag("--versioned-name", publish.versionedName,
                           "Name the package per version (package_mac-3.zip), so that no cache "
                           "serves an old package under the new version");
  std::string secretKey;
  publishCommand->add_option("--secret-key", secretKey,
                             "Sign the package with this unencrypted secret key (minisign format)");
  publishCommand->add_flag("--force", publish.force,
                           "Publish even if the feed already has this version or a newer one");

  ServeRequest serve;
  std::string servedFolder;
  auto* serveCommand = app.add_subcommand("serve", "Serve a feed folder over HTTP (GET only)");
  serveCommand->add_option("feed", servedFolder, "The feed folder to serve")->required();
  serveCommand->add_option("--port", serve.port, "TCP port; 0 picks a free one")
      ->required()
      ->check(CLI::Range(0, 65535));
  serveCommand->add_option("--host", serve.host, "Address to listen on")->capture_default_str();
  serveCommand->add_option("--prefix", serve.prefix,
                           "Serve the feed under this path (/updates for a launcher built with "
                           "APPLICATION_SERVER_URL=host:port/updates); other paths answer 404");

  KeygenRequest keygen;
  std::string keyFolder;
  auto* keygenCommand =
      app.add_subcommand("keygen",
                         "Make the key pair that signs packages and that the launcher "
                         "checks them with");
  keygenCommand
      ->add_option("--out", keyFolder, "The folder to write <name>.pub and <name>.key into")
      ->required();
  keygenCommand->add_option("--name", keygen.name, "File name of the keys, without extension")
      ->capture_default_str();
  keygenCommand->add_flag("--force", keygen.force, "Replace existing key files");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version requests end with 0; every usage error with 2.
    return app.exit(error) == 0 ? kExitSuccess : kExitRefused;
  }

  if (*publishCommand) {
    publish.appFolder = appFolder;
    publish.feedFolder = feedFolder;
    publish.secretKey = secretKey;
    return runPublish(publish, std::cout, std::cerr);
  }
  if (*keygenCommand) {
    keygen.folder = keyFolder;
    return runKeygen(keygen, std::cout, std::cerr);
  }
  serve.feedFolder = servedFolder;
  return runServe(serve, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  // A package beyond the file size limit (ulimit -f) fails its write as on a full disk: publish
  // says so and removes its staged files rather than end with the signal.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  // A report whose reader has gone (`| head -1`) fails its write like one on a full disk: told
  // below, rather than the process ending with the signal and without a word.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  // Setting up the command line, or a command, may still throw (a broken option definition, no
  // memory left): told like any other failure.
  try {
    errno = 0;
    const int status = run(argc, argv);
    // What a command reports (the package's address, the public key to build the launcher with)
    // is part of its result: a report that could not be written out is a failure, told on
    // standard error with the work itself left done. The report ends with a flush, whose errno
    // is the likeliest reason when a later flush finds nothing left to write.
    int error = errno;
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout) && std::cout.good()) return status;
    if (errno != 0) error = errno;
    std::cerr << "launcher-feed: cannot write to standard output"
              << (error != 0 ? ": " + launcher::platform::describeErrno(error) : std::string())
              << (status == kExitSuccess ? " (the command itself was carried out)" : "")
              << std::endl;
    return status == kExitSuccess ? kExitRuntimeFailure : status;
  } catch (const std::exception& failure) {
    std::cerr << "launcher-feed: " << failure.what() << std::endl;
  } catch (...) {
    std::cerr << "launcher-feed: an unexpected failure" << std::endl;
  }
  return launcher::feed::kExitRuntimeFailure;
}
