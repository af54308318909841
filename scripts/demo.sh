#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the demo: the FTP server over the
# local emulator of the storage service.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
if [ ! -x build/server/orvel-gridftp-server ]; then
  echo "demo: the server program is not built yet; nothing to run." >&2
  exit 1
fi
