#!/bin/bash
# Installs what is missing, builds, and runs the service in the foreground with its
# default settings; configuration lands in build/conf, logs in build/log.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh run
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target tarnhall-server
exec build/bin/tarnhall-server
