#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy over our own sources (Launcher/, Zipwell/,
# frontends/, tools/), in parallel, with the compile commands of a build folder that has been
# built (its generated Qt sources must exist). Prints every finding; fails when there is any.
#
#   scripts/tidy.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$tidy" ]; then
  echo "tidy: clang-tidy is not installed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "tidy: no $build/compile_commands.json: configure and build $build first" >&2
  exit 2
fi

# Our sources that the build folder compiles (the screenshot tool only with the Qt window).
mapfile -t sources < <(git ls-files 'Launcher/*.cpp' 'Zipwell/*.cpp' 'frontends/*.cpp' 'tools/*.cpp' |
  while read -r source; do
    grep -qF "\"file\": \"$PWD/$source\"" "$build/compile_commands.json" && echo "$source"
  done)
if ((${#sources[@]} == 0)); then
  echo "tidy: none of our sources is in $build/compile_commands.json" >&2
  exit 2
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\0' "${sources[@]}" |
  xargs -0 -n 1 -P "$(nproc)" "$tidy" -p "$build" --quiet >"$log" 2>&1 || status=$?
findings=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$log" || true)
if ((status != 0 || findings > 0)); then
  grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$' "$log" >&2 || true
  echo "tidy: $findings findings in ${#sources[@]} files" >&2
  exit 1
fi
echo "tidy: no findings in ${#sources[@]} files" >&2
