#!/usr/bin/env bash
# The main job: set up, build, and show the driver at work (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
exec build/tools/hydrix-demo "$@"
