# Sourced by scripts that start processes: a scratch folder in $work, removed at exit
# together with every process that left its id in $work/NAME.pid (those alone are ended).
#   scratch_folder NAME
scratch_folder() {
  work=$(mktemp -d "/tmp/$1.XXXXXX")
  trap scratch_cleanup EXIT
  trap 'exit 2' INT TERM
}
scratch_cleanup() {
  local f pid
  for f in "$work"/*.pid; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$work"
}
