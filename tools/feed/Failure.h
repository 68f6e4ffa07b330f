#pragma once
// How the publisher's commands end when they do not succeed.
#include <string>
#include <utility>

namespace launcher::feed {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitRuntimeFailure = 1;
inline constexpr int kExitRefused = 2;

// A command that did not complete: either its input was refused before anything was written
// (exit 2), or the work itself failed (exit 1). `message` is one line for standard error.
struct Failure {
  enum class Kind { Refused, Runtime };
  Kind kind = Kind::Runtime;
  std::string message;

  static Failure refused(std::string text) { return {Kind::Refused, std::move(text)}; }
  static Failure runtime(std::string text) { return {Kind::Runtime, std::move(text)}; }
  int exitCode() const { return kind == Kind::Refused ? kExitRefused : kExitRuntimeFailure; }
};

}  // namespace launcher::feed
