#!/usr/bin/env bash
# Runs cloudmove's main cases under valgrind: each must end with its own exit
# status (0 or 255), never with valgrind's error status 1.
#
# Usage: valgrind_cloudmove.sh CLOUDMOVE SAMPLE.las
set -uo pipefail
cloudmove=$1
sample=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$sample" "$work/in.las"
ln -s /dev/full "$work/full.las"
printf 'LASF' >"$work/short.las"

failures=0
check() {
  local expected=$1
  shift
  valgrind --quiet --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    "$cloudmove" "$@" >/dev/null 2>"$work/valgrind.log"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "FAILED (status $status, expected $expected): cloudmove $*"
    cat "$work/valgrind.log"
    failures=$((failures + 1))
  fi
}

check 0 "$work/in.las" "$work/out.las" 100 -50 2.5 30 512330 5403230
check 0 "$work/in.las" "$work/out.las" 100 -50 2.5 0 0 0
check 255
check 255 "$work/in.las"
check 255 "$work/in.las" "$work/out.las" 0 0 0 0 5 5
check 255 "$work/short.las" "$work/out.las" 1 0 0 0 0 0
check 255 "$work/in.las" "$work/in.las" 1 0 0 0 0 0
check 255 "$work/in.las" "$work/full.las" 1 0 0 0 0 0
check 255 "$work/in.las" "$work/out.las" 1e12 0 0 0 0 0
exit $((failures > 0))
