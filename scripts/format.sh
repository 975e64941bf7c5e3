#!/usr/bin/env bash
# One style for the C and C++ sources (.clang-format at the root).
#   scripts/format.sh           reformats every source in place
#   scripts/format.sh --check   changes nothing; lists the files that differ, exit 1 if any
# Installs clang-format (Debian) when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  sudo_cmd=$([ "$(id -u)" = 0 ] || echo sudo)
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq clang-format >/dev/null
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if [ "${1:-}" = "--check" ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
      echo "format: $f differs from .clang-format (scripts/format.sh fixes it)"
      bad=1
    fi
  done
  [ $bad -eq 0 ] && echo "format: ${#files[@]} files as .clang-format wants them"
  exit $bad
fi
clang-format -i "${files[@]}"
echo "format: ${#files[@]} files formatted"
