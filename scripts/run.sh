#!/usr/bin/env bash
# The main job: set up, build, and show the driver at work.
#   scripts/run.sh              a tour: every kind of read on both engines, against the
#                               simulated stations that hydrix starts on pseudo-terminals
#   scripts/run.sh ARGS...      runs build/tools/hydrix ARGS... instead
# Builds only what the tour needs (the driver, its runtime and hydrix); scripts/test.sh
# builds the rest of the tree in the same build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
HYDRIX_TARGETS="hydrix hydrix-cli" scripts/setup.sh build
hydrix=build/tools/hydrix
if [ $# -gt 0 ]; then exec "$hydrix" "$@"; fi

run() {
  echo
  echo "\$ hydrix $*"
  "$hydrix" "$@"
}
echo "Channel 0: telegram engine, node 12. Channel 1: v6 engine, node 7 (simulated stations)."
echo "Each command starts fresh simulated stations: a value written is not there for the next one."
for node in 12 7; do
  run picture -n "$node" -p 1
  run report -n "$node"
  run setpoints -n "$node"
  run history -n "$node" --from -4h
  run alarms -n "$node"
done
run write-setpoint -n 12 -s 2 --value 4.5
run command start -n 12 -m 1
run poll --rounds 2
