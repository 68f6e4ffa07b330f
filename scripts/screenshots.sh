#!/usr/bin/env bash
# Makes the README's pictures: publishes the sample application, signed like the demo's, serves
# the feed on the configured address, and lets the real window run a first install offscreen,
# saving it in its offer and finished states into docs/screenshots/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target launcher-feed
public_key=$(scripts/demo-key.sh)
cmake -S . -B build -DAPPLICATION_PUBLIC_KEY="$public_key" >/dev/null
cmake --build build -j"$(nproc)" --target launcher-screenshots

name=$(sed -n 's/^APPLICATION_NAME:STRING=//p' build/CMakeCache.txt)
server=$(sed -n 's/^APPLICATION_SERVER_URL:STRING=//p' build/CMakeCache.txt)
port="${server##*:}"
port="${port%%/*}"
work=$(mktemp -d)
trap 'kill "${feed_server:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/app/$name.app"
printf '#!/bin/sh\necho "%s sample application is running"\n' "$name" >"$work/app/$name.app/AppRun"
chmod 0755 "$work/app/$name.app/AppRun"
build/launcher-feed publish --app "$work/app/$name.app" --version 1 \
  --base-url "http://127.0.0.1:$port" --out "$work/feed" --secret-key build/demo/keys/publisher.key \
  >/dev/null
build/launcher-feed serve "$work/feed" --port "$port" 2>"$work/server.log" &
feed_server=$!
for _ in $(seq 50); do grep -q serving "$work/server.log" 2>/dev/null && break; sleep 0.1; done

mkdir -p docs/screenshots
XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" QT_QPA_PLATFORM=offscreen \
  build/launcher-screenshots docs/screenshots >"$work/launcher.out" || { cat "$work/launcher.out" "$work/server.log" >&2; exit 1; }
