#!/usr/bin/env bash
# The demo publisher's key pair under build/demo/keys, made once with the feed tool (which must be
# built): prints the public key's base64 line, which the demo launcher is built with. Packages are
# signed with build/demo/keys/publisher.key.
set -euo pipefail
cd "$(dirname "$0")/.."
keys="$PWD/build/demo/keys"
if [ ! -f "$keys/publisher.key" ]; then
  build/launcher-feed keygen --out "$keys" >/dev/null
fi
sed -n 2p "$keys/publisher.pub"
