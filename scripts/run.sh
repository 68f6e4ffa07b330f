#!/usr/bin/env bash
# The demo: installs what is missing, builds, makes a sample application, publishes it as version
# VERSION (default 1) into a feed under the build folder, serves that feed on 127.0.0.1:8765, and
# runs the launcher with its per-user folders under the build folder, so the user's own folders
# stay untouched. The window is used when a display is available, the terminal front end otherwise.
# Packages are signed: the first run makes a key pair under build/demo/keys, the launcher is built
# with its public key, and every version is published with its secret key.
#
#   scripts/run.sh            first run: press Download, then Launch
#   scripts/run.sh 2          a newer version: the launcher offers the update
#   scripts/run.sh --reset    starts from nothing: removes the demo's user folders and feed (the
#                             key pair stays), so the launcher offers the first install again
set -euo pipefail
cd "$(dirname "$0")/.."
usage="usage: scripts/run.sh [--reset] [VERSION]   (VERSION: a whole number above 0, default 1)"
reset=false
version=""
for argument in "$@"; do
  case "$argument" in
    --reset) reset=true ;;
    -*) echo "$usage" >&2; exit 2 ;;
    *) [ -z "$version" ] || { echo "$usage" >&2; exit 2; }; version="$argument" ;;
  esac
done
version="${version:-1}"
if ! [[ "$version" =~ ^[0-9]+$ ]] || [ "$version" -eq 0 ]; then
  echo "$usage" >&2
  exit 2
fi

scripts/install-deps.sh
demo="$PWD/build/demo"
keys="$demo/keys"  # made by scripts/demo-key.sh
if $reset; then
  rm -rf "$demo/user" "$demo/feed"
  echo "starting from nothing: build/demo/user and build/demo/feed removed (the key pair stays)" >&2
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target launcher-feed

# The publisher's key pair, made once; the launcher trusts only packages signed with it.
public_key=$(scripts/demo-key.sh)
cmake -S . -B build -DAPPLICATION_PUBLIC_KEY="$public_key" >/dev/null
cmake --build build -j"$(nproc)" --target launcher launcher-cli

name=$(sed -n 's/^APPLICATION_NAME:STRING=//p' build/CMakeCache.txt)
server=$(sed -n 's/^APPLICATION_SERVER_URL:STRING=//p' build/CMakeCache.txt)
port="${server##*:}"
port="${port%%/*}"
app="$demo/app/$name.app"

# The sample application: says which version runs, and leaves a note of it beside the feed.
rm -rf "$demo/app"
mkdir -p "$app"
cat >"$app/AppRun" <<APPRUN
#!/bin/sh
message="$name sample application, version $version, is running (from \$(dirname "\$0"))"
echo "\$message" >"$demo/last-run.txt"
echo
echo "*** \$message"
APPRUN
chmod 0755 "$app/AppRun"
echo "$version" >"$app/VERSION"

# --force: the demo publishes whichever version it is asked for, also one the feed has already.
build/launcher-feed publish --app "$app" --version "$version" \
  --base-url "http://127.0.0.1:$port" --out "$demo/feed" --secret-key "$keys/publisher.key" --force

build/launcher-feed serve "$demo/feed" --port "$port" 2>"$demo/feed-server.log" &
feed_server=$!
trap 'kill "$feed_server" 2>/dev/null; wait "$feed_server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  grep -q "serving" "$demo/feed-server.log" 2>/dev/null && break
  kill -0 "$feed_server" 2>/dev/null || { cat "$demo/feed-server.log" >&2; exit 1; }
  sleep 0.1
done

export XDG_DATA_HOME="$demo/user/data" XDG_CACHE_HOME="$demo/user/cache"
# What an earlier run left behind decides what the launcher offers: say so.
if [ -d "$XDG_DATA_HOME/$name" ]; then
  installed=$(cat "$XDG_DATA_HOME/$name/version.txt" 2>/dev/null || true)
  [[ "$installed" =~ ^[0-9]+$ ]] || installed=0
  echo "found an earlier install of version $installed under build/demo/user;" \
    "scripts/run.sh --reset starts from nothing" >&2
fi
mkdir -p "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
echo "feed: $demo/feed served on 127.0.0.1:$port; the launcher installs into $XDG_DATA_HOME/$name" >&2
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  build/launcher
else
  echo "no display: using the terminal launcher (type the word of a button and Enter)" >&2
  build/launcher-cli
fi
# The launched application runs detached; give it a moment to speak before the server stops.
sleep 1
