#!/usr/bin/env bash
# Installs what is missing, builds the helper and runs it in the foreground (Ctrl-C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target QuorbelHelper
exec build/QuorbelHelper "$@"
