#!/usr/bin/env bash
# Runs the example commands of README.md as written, on both engines (telegram node 12,
# v6 node 7) and with the built-in model as well as --model examples/station-model.json.
#   scripts/readme-examples.sh [--all] [BUILD_DIR]
# First it reads README.md and checks that every example there - command lines in code
# blocks, the command table of hydrix, `hydrix ...` and `scripts/...` in the text - is
# listed below, as runs or as skipped with the reason (so a new example cannot slip by).
# Then it runs them and prints one line per run. Examples that build trees, run for
# minutes or need hardware are skipped unless --all is given (hardware ones always).
# Exits 0 when every run ended as expected, 1 otherwise, 2 when it cannot start.
set -uo pipefail
cd "$(dirname "$0")/.."
all=0
if [ "${1:-}" = "--all" ]; then all=1; shift; fi
build=${1:-build}
HYDRIX="$PWD/$build/tools/hydrix"
STATION="$PWD/$build/tools/hydrix-station"
case "$build" in /*) HYDRIX="$build/tools/hydrix"; STATION="$build/tools/hydrix-station" ;; esac
if [ ! -x "$HYDRIX" ] || [ ! -x "$STATION" ]; then
  [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DHYDRIX_BENCH=OFF >/dev/null || exit 2
  cmake --build "$build" -j2 --target hydrix hydrix-cli hydrix-serve hydrix-station >/dev/null || exit 2
fi
. scripts/scratch.sh
scratch_folder readme-examples

# ---- What README.md shows, and how each is covered -------------------------------------
# Key: the example as README.md writes it (comments after "#" dropped). Value: "run" (the
# runs below cover it) or "skip: why" (or "all: why" for what --all runs).
declare -A covered=(
  ["scripts/run.sh"]="all: sets up and builds hydrix, then runs the tour"
  ["scripts/test.sh"]="all: sets up, builds and runs every test"
  ["scripts/soak.sh BUILD_DIR SECONDS [options]"]="all: builds the soak (run for 20 s)"
  ["scripts/run.sh ARGS..."]="all: as scripts/run.sh, then hydrix ARGS"
  ["cmake -S . -B build && cmake --build build -j2"]="all: builds the whole tree"
  ["ctest --test-dir build --output-on-failure"]="all: every test"
  ["cmake -S . -B build-asan -DHYDRIX_SANITIZE=address"]="skip: configures a sanitizer tree (what .ci/run does)"
  ["scripts/fuzz.sh 60"]="skip: ten minutes of fuzzing with clang"
  ["hydrix [--config FILE] [--json|--csv] [-v] [--trace FILE] [--simulate] [--model FILE]"]="skip: the synopsis"
  ["[--library PATH] COMMAND [options]"]="skip: the synopsis"
  ["picture"]="run" ["report"]="run" ["setpoints"]="run" ["write-setpoint"]="run"
  ["command"]="run" ["history"]="run" ["alarms"]="run" ["poll"]="run" ["channels"]="run"
  ["check"]="run"
  ["hydrix --help"]="run"
  ["hydrix COMMAND --help"]="run"
  ["hydrix ARGS..."]="run"
  ["scripts/readme-examples.sh [--all] [BUILD_DIR]"]="skip: this script"
  ["scripts/rss-poll.sh [BUILD_DIR] [MINUTES] [INTERVAL]"]="all: run for 2 minutes"
  ["build/tools/hydrix-station --pty -v"]="run"
  ["build/tools/hydrix --config my.ini picture -n 12"]="run"
  ["scripts/build-windows.sh"]="skip: installs the MinGW compilers and builds the DLLs"
  ["scripts/build-windows.sh --wine"]="skip: the Windows build and its tests under Wine"
  ["scripts/build-windows.sh -- -DHYDRIX_COLLECTOR_DLL=collect.dll \\"]="skip: a Windows build with other host libraries"
  ["-DHYDRIX_PROFILE_DLL=profile.dll -DHYDRIX_TIME_DLL=timelib.dll \\"]="skip: (the same)"
  ["-DHYDRIX_CALLING_CONVENTION=stdcall"]="skip: (the same)"
  ["HYDRIXDefault=1"]="skip: a Windows site's profile" ["Nodes=12"]="skip: (the same)"
  ["Port=COM5"]="skip: (the same)" ["Baudrate=9600"]="skip: (the same)"
  ["hydrix.exe --config site.ini picture -n 12 --picture 1"]="skip: Windows (its Wine test runs these)"
  ["hydrix.exe --config site.ini alarms -n 12 --json"]="skip: Windows (its Wine test runs these)"
  ["hydrix-eventlog.exe install"]="skip: Windows registry (the Wine runtime test registers the source the same way)"
  ["hydrix-eventlog.exe uninstall"]="skip: (the same)"
  ["serve"]="run" ["hydrix serve"]="run" ["hydrix serve --mqtt 127.0.0.1:1883"]="run"
  ["hydrix --config examples/hydrix-gateway.ini --simulate serve"]="run"
  ["hydrix check"]="run"
  ["hydrix --config site.ini serve --modbus 0.0.0.0:502 --mqtt broker:1883"]="skip: a site's profile and its broker"
  ["hydrix --config site.ini serve --print-map [--csv|--json]"]="run"
  ["mbpoll -m tcp -p 1502 -a 12 -t 3:float -B -r 1 -c 6 -1 127.0.0.1"]="run"
  ["mosquitto_sub -p 1883 -t 'hydrix/#' -v"]="run"
  ["hydrix --config /etc/hydrix/<instance>.ini serve"]="skip: the installed service's command line"
  ["sudo dpkg -i hydrix_0.1_amd64.deb"]="skip: installs on this machine (.ci/run does)"
  ["sudo install -m 640 -o root -g hydrix site.ini /etc/hydrix/site.ini"]="skip: a site's profile"
  ["cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr"]="skip: a Release tree (what .ci/run builds)"
  ["cmake --build build-release -j2 && (cd build-release && cpack -G DEB)"]="skip: builds the packages (what .ci/run does)"
  ["mosquitto -p 1883"]="skip: a broker for the MQTT examples, left running"
  ["sudo systemctl enable --now hydrix-serve@site"]="skip: needs systemd and a site's profile"
  ["cmake --build build --target bench_serve_modbus && build/bench/bench_serve_modbus 20 20 100"]="skip: a 20-second measurement; its verdict depends on the machine's load"
  ["cmake --build build --target bench_gateway_run && build/bench/bench_gateway_run --minutes 30"]="skip: a 30-minute run"
  [";Http=127.0.0.1:9188"]="skip: a line of the [Serve] example" [";HaDiscovery=1"]="skip: (the same)"
  ["(cd tests/serve/sparkplug && npm ci) && node tests/serve/sparkplug/client.js watch 1883"]="skip: a Sparkplug host application on a site's broker (tests/serve/sparkplug_test.cpp runs this client)"
  ["node tests/serve/sparkplug/client.js publish 1883 spBv1.0/water/NCMD/works1 '[{\"name\":\"Node Control/Rebirth\",\"type\":\"Boolean\",\"value\":true}]'"]="skip: (the same)"
  ["mosquitto_sub -p 1883 -t 'homeassistant/#' -v"]="skip: a broker's subscriber (tests/serve/mqtt_topics_test.cpp reads these configs)"
  ["scrape_configs:"]="skip: a Prometheus configuration" ["- job_name: hydrix"]="skip: (the same)"
  ["static_configs:"]="skip: (the same)" ["- targets: ['127.0.0.1:9188']"]="skip: (the same)"
  ["curl -s '127.0.0.1:9090/api/v1/query?query=rate(hydrix_request_failures_total[5m])'"]="skip: a Prometheus server's API (tests/serve/metrics_test.cpp queries one)"
  ["user gateway"]="skip: a line of a mosquitto acl_file" ["user operator"]="skip: (the same)"
  ["topic readwrite hydrix/#"]="skip: (the same)" ["topic read hydrix/#"]="skip: (the same)"
  ["topic write hydrix/+/setpoint/+/set"]="skip: (the same)" ["topic write hydrix/+/command/+/set"]="skip: (the same)"
)

# The examples README.md shows: command lines of its code blocks (the model file's JSON
# is checked by running it), the first word of each row of the hydrix command table, and
# commands quoted in the text.
readme_examples() {
  awk '
    /^    [{"[]/ || /^    +"/ { next }                   # the JSON of the model file
    /^    #/ { next }                                       # a comment line
    /^    ;?[A-Za-z][A-Za-z0-9]*=/ {                        # a profile line
      line = $0; sub(/^ +/, "", line); sub(/ +;.*$/, "", line); print line; next }
    /^    [^ ]/ || /^           \[/ {                     # code block lines
      line = $0; sub(/^ +/, "", line); sub(/ +#.*$/, "", line); print line; next }
  ' README.md
  sed -n '/^| Command | What it does |/,/^$/p' README.md | sed -n 's/^| `\([a-z-]*\).*/\1/p'
  grep -o '`\(hydrix\|scripts/[a-z-]*\.sh\) [^`]*`' README.md | tr -d '`' | grep -v '^hydrix \[--config'
}

status=0
passed=0
failed=0
skipped=0
note() { printf '%-6s %s\n' "$1" "$2"; }
# counted WORKED OK_LINE FAIL_LINE FILE...: counts a run (WORKED is 1 when it went as
# expected) and prints its line; after a failure also the end of the files it wrote.
counted() {
  local worked=$1 okLine=$2 failLine=$3
  shift 3
  if [ "$worked" = 1 ]; then
    passed=$((passed + 1))
    note ok "$okLine"
    return
  fi
  failed=$((failed + 1))
  status=1
  note FAIL "$failLine"
  tail -n 15 "$@" | sed 's/^/         /'
}
missing=0
while IFS= read -r example; do
  [ -n "$example" ] || continue
  if [ -z "${covered[$example]+x}" ]; then
    # A profile line is covered when the example profile that the runs below use has it.
    if [[ $example =~ ^\;?[A-Za-z0-9][A-Za-z0-9:/-]*\ ?= ]] &&
       grep -qxF -- "$example" examples/hydrix-gateway.ini; then
      continue
    fi
    note FAIL "README example not covered by this script: $example"
    missing=1
  fi
done < <(readme_examples | sort -u)
[ $missing -eq 0 ] || status=1

# ---- Running ---------------------------------------------------------------------------

hydrix() { "$HYDRIX" "$@"; }
limit=1200  # tenths of a second a run may take
# ex EXPECTED_EXIT "command as written": runs it (hydrix is the one built here) with a
# time limit, and checks its exit code.
ex() {
  local expect=$1 cmd=$2 out="$work/out" code
  ( eval "$cmd" ) >"$out" 2>&1 </dev/null &
  local pid=$!
  echo $pid >"$work/run.pid"
  local waited=0
  while kill -0 $pid 2>/dev/null && [ $waited -lt "$limit" ]; do sleep 0.1; waited=$((waited + 1)); done
  if kill -0 $pid 2>/dev/null; then kill $pid 2>/dev/null; fi
  wait $pid
  code=$?
  rm -f "$work/run.pid"
  counted "$([ "$code" = "$expect" ] && echo 1)" "$cmd" "$cmd (exit $code, expected $expect)" "$out"
}
skip() { skipped=$((skipped + 1)); note skip "$1 ($2)"; }
# until_interrupt "hydrix ...": a command that runs until Ctrl-C (a poll without --rounds):
# runs it for a few seconds, interrupts it as Ctrl-C does, and expects exit 0 and output.
until_interrupt() {
  local cmd=$1 args code
  eval "args=($cmd)"
  "$HYDRIX" "${args[@]:1}" >"$work/out" 2>&1 </dev/null &
  local pid=$!
  echo $pid >"$work/run.pid"
  sleep 4
  kill -INT $pid 2>/dev/null
  wait $pid
  code=$?
  rm -f "$work/run.pid"
  counted "$([ "$code" = 0 ] && [ -s "$work/out" ] && echo 1)" "$cmd (Ctrl-C after 4 s)" \
    "$cmd (Ctrl-C after 4 s: exit $code, expected 0 and values)" "$work/out"
}

echo "== hydrix: every command of the table, both engines, built-in model and model file"
for model in "" "--model examples/station-model.json "; do
  for n in 12 7; do
    ex 0 "hydrix ${model}picture -n $n -p 1"
    ex 0 "hydrix ${model}picture -n $n -p 1 --first 1 --count 2"
    ex 0 "hydrix ${model}picture -n $n -p 3"
    ex 0 "hydrix ${model}report -n $n"
    ex 0 "hydrix ${model}report -n $n --first 1 --count 3"
    ex 0 "hydrix ${model}setpoints -n $n"
    ex 0 "hydrix ${model}setpoints -n $n --first 1 --count 2"
    ex 0 "hydrix ${model}write-setpoint -n $n -s 2 --value 4.5"
    for what in start stop auto block; do ex 0 "hydrix ${model}command $what -n $n -m 1 --item 3"; done
    ex 0 "hydrix ${model}command start -n $n"
    for from in -6h -2d 0 '"2026-12-03 23:00"' 2026-12-03T22:00Z; do ex 0 "hydrix ${model}history -n $n --from $from"; done
    ex 0 "hydrix ${model}alarms -n $n"
    ex 0 "hydrix ${model}--json picture -n $n -p 1"
    ex 0 "hydrix ${model}--csv report -n $n"
    ex 0 "hydrix ${model}-v setpoints -n $n --first 1 --count 1"
    ex 0 "hydrix ${model}--trace $work/trace.txt picture -n $n -p 1 && test -s $work/trace.txt"
  done
  ex 0 "hydrix ${model}write-setpoint -n 7 -s 1 --value 12 --type 0"
  ex 2 "hydrix ${model}write-setpoint -n 12 -s 1 --value 12 --type 0"  # refused: the list says the type
  ex 0 "hydrix ${model}picture -c 0 -n 12 -p 1"
  ex 0 "hydrix ${model}poll --rounds 2 -i 0.5"
  ex 0 "hydrix ${model}poll 0/12:picture:1:0-3 7:report 12:setpoints:1-3 1/7:picture:1 --rounds 1"
  ex 0 "hydrix ${model}channels"
  ex 0 "hydrix ${model}check"
done
ex 0 "hydrix --config examples/hydrix.ini --simulate picture -n 12 -p 1"
ex 0 "hydrix --config examples/hydrix.ini --simulate channels"
ex 0 "hydrix --config examples/hydrix.ini check"
ex 0 "hydrix --config examples/hydrix-site.ini check"
for form in "" " --csv" " --json"; do
  ex 0 "hydrix --config examples/hydrix-gateway.ini serve --print-map$form"
done

echo "== hydrix --help and each command's help, and the examples they show"
ex 0 "hydrix --help"
for c in picture report setpoints write-setpoint command history alarms poll check channels; do
  ex 0 "hydrix $c --help"
done
# The help's examples, as written; those for a site's own profile need its stations.
while IFS= read -r line; do
  case "$line" in
    *site.ini*) skip "$line" "a site's profile and its stations" ;;
    *" poll"*--rounds*) ex 0 "$line" ;;
    *" poll"*) until_interrupt "$line" ;;
    *) ex 0 "$line" ;;
  esac
done < <(for c in "" picture report setpoints write-setpoint command history alarms poll check channels; do
           # shellcheck disable=SC2086
           "$HYDRIX" $c --help | sed -n '/^Examples:/,$p' | sed -n 's/^  \(hydrix .*\)/\1/p' |
             sed 's/  .*//'
         done | sort -u)
ex 0 "hydrix poll -i 0.5 --rounds 1"

echo "== the model file of README.md"
awk '/^    \{ "historyChunk"/ { on = 1 } on && /^$/ { exit } on { print }' README.md >"$work/readme-model.json"
for n in 12; do
  ex 0 "hydrix --model $work/readme-model.json picture -n $n -p 1"
  ex 0 "hydrix --model $work/readme-model.json report -n $n"
  ex 0 "hydrix --model $work/readme-model.json setpoints -n $n"
  ex 0 "hydrix --model $work/readme-model.json history -n $n --from 0"
  ex 0 "hydrix --model $work/readme-model.json alarms -n $n"
done

echo "== hydrix-station on a pty and hydrix with a profile that names it"
# station NAME OPTIONS...: starts hydrix-station --pty -v, waits for its "pty: " line.
station() {
  local name=$1
  shift
  : >"$work/$name.out"
  "$STATION" --pty -v "$@" </dev/null >"$work/$name.out" 2>&1 &
  echo $! >"$work/$name.pid"
  for _ in $(seq 100); do
    path=$(sed -n 's/^pty: //p' "$work/$name.out")
    [ -n "$path" ] && return 0
    sleep 0.1
  done
  return 1
}
for model in "" "--model examples/station-model.json"; do
  # shellcheck disable=SC2086
  if station telegram $model && tpty=$path && station v6 --v6 $model && vpty=$path; then
    printf '[Chan0]\nNodes=12\nPort=%s\n[Chan0\\Node12]\nPlantNumber=12\n[Chan1]\nHYDRIXDefault=0\nDeviceName=LINE\nNodes=7\nPort=%s\n' \
      "$tpty" "$vpty" >"$work/my.ini"
    ex 0 "grep -q '^pty: /dev/pts/' $work/telegram.out"
    ex 0 "hydrix --config $work/my.ini picture -n 12"
    ex 0 "hydrix --config $work/my.ini picture -n 7"
    ex 0 "hydrix --config $work/my.ini report -n 12"
    ex 0 "hydrix --config $work/my.ini setpoints -n 7"
    ex 0 "grep -q '^recv: ' $work/telegram.out"
  else
    note FAIL "hydrix-station ${model} did not start"
    status=1
  fi
  for f in telegram v6; do
    [ -f "$work/$f.pid" ] && kill "$(cat "$work/$f.pid")" 2>/dev/null
    rm -f "$work/$f.pid"
  done
done
ex 0 "printf 'act 12\nalr 12\nok\nmrc 7\nstatus\nquit\n' | $STATION --pty"
skip "hydrix-station --device /dev/ttyUSB0 --baud 9600" "needs a serial device"

echo "== the simulator's fault switches against hydrix (each answer as the engine takes it)"
# faults EXPECTED_EXIT NODE SWITCHES...
faults() {
  local expect=$1 n=$2
  shift 2
  local v6=()
  [ "$n" = 7 ] && v6=(--v6)
  if ! station fault "${v6[@]}" "$@"; then note FAIL "hydrix-station $* did not start"; status=1; return; fi
  if [ "$n" = 7 ]; then
    printf '[Chan1]\nHYDRIXDefault=0\nDeviceName=LINE\nRetries=0\nNodes=7\nPort=%s\n' "$path" >"$work/f.ini"
  else
    printf '[Chan0]\nRetries=0\nNodes=12\nPort=%s\n[Chan0\\Node12]\nPlantNumber=12\n' "$path" >"$work/f.ini"
  fi
  ex "$expect" "hydrix --config $work/f.ini picture -n $n -p 1 # hydrix-station ${v6[*]} $*"
  kill "$(cat "$work/fault.pid")" 2>/dev/null
  rm -f "$work/fault.pid"
}
for n in 12 7; do
  faults 0 $n --delay 300
  faults 0 $n --ok-before 2
  faults 0 $n --split 200
  faults 0 $n --dc3
  faults 0 $n --garbage
  faults 0 $n --gap 300
  faults 0 $n --baud 9600
  faults 1 $n --reply NDA
  faults 1 $n --reply SCE
  faults 1 $n --wrong-bcc
done
faults 0 7 --no-lf
faults 1 12 --silent

echo "== hydrix serve: its registers read with mbpoll, its messages seen with mosquitto_sub"
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
# serve_with "hydrix serve ..." "client command" PATTERN: starts the gateway, runs the
# client until its output shows PATTERN (at most 20 s), then stops the gateway with
# SIGTERM, which must end it with exit 0.
serve_with() {
  local cmd=$1 client=$2 pattern=$3 args code ok=0
  eval "args=($cmd)"
  # The outbox goes where systemd would put it, here the scratch folder.
  STATE_DIRECTORY="$work" "$HYDRIX" "${args[@]:1}" >"$work/serve.log" 2>&1 </dev/null &
  local pid=$!
  for _ in $(seq 1 40); do
    eval "timeout 5 $client" >"$work/client" 2>&1 </dev/null || true
    if grep -q -- "$pattern" "$work/client"; then ok=1; break; fi
    sleep 0.5
  done
  kill -TERM $pid 2>/dev/null
  wait $pid
  code=$?
  counted "$([ $ok = 1 ] && [ $code = 0 ] && echo 1)" "$cmd + $client" \
    "$cmd + $client (client saw '$pattern': $ok; gateway exit $code)" "$work/client" "$work/serve.log"
}
if ! command -v mbpoll >/dev/null || ! command -v mosquitto >/dev/null; then
  skip "hydrix serve with mbpoll and mosquitto_sub" "mbpoll or mosquitto not installed (scripts/setup.sh installs them)"
elif ! port_free 1502 || ! port_free 1883; then
  skip "hydrix serve with mbpoll and mosquitto_sub" "port 1502 or 1883 is in use here"
else
  serve_with "hydrix serve" "mbpoll -m tcp -p 1502 -a 12 -t 3:float -B -r 1 -c 6 -1 127.0.0.1" "\\[1\\]:"
  serve_with "hydrix --config examples/hydrix-gateway.ini --simulate serve" \
    "mbpoll -m tcp -p 1502 -a 12 -t 3:float -B -r 1 -c 6 -1 127.0.0.1" "\\[1\\]:"
  # Alarms and history are not retained: the subscriber listens before the gateway starts,
  # and the client step looks for all three kinds in what it has seen.
  mosquitto -p 1883 >"$work/broker.log" 2>&1 &
  broker=$!
  for _ in $(seq 1 50); do port_free 1883 || break; sleep 0.1; done
  mosquitto_sub -p 1883 -t 'hydrix/#' -v -W 30 >"$work/sub" 2>&1 &
  sub=$!
  sleep 0.5
  seen="grep -q hydrix/12/alarms $work/sub && grep -q hydrix/7/history $work/sub && grep -h hydrix/12/picture1/ $work/sub"
  serve_with "hydrix serve --mqtt 127.0.0.1:1883" "sh -c '$seen'" '"quality":"good"'
  kill $sub $broker 2>/dev/null; wait $sub $broker 2>/dev/null || true
  note "" "(the subscriber was: mosquitto_sub -p 1883 -t 'hydrix/#' -v)"
fi

if [ $all -eq 1 ]; then
  echo "== the long ones (--all)"
  limit=36000
  ex 0 "scripts/run.sh"
  ex 0 "scripts/run.sh channels"
  ex 0 "scripts/test.sh"
  ex 0 "cmake -S . -B build && cmake --build build -j2"
  ex 0 "ctest --test-dir build --output-on-failure"
  ex 0 "scripts/soak.sh build-soak 20"
  ex 0 "scripts/rss-poll.sh $build 2"
else
  skip "scripts/run.sh, scripts/test.sh, the builds, ctest and the soak" "give --all"
fi

echo
echo "readme-examples: $passed ran as expected, $failed did not, $skipped skipped"
exit $status
