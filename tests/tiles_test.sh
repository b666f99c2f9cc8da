#!/usr/bin/env bash
# cloudmove-tiles over a generated survey of 21 tiles in a folder tree, one of
# them broken: every good tile's output equals a single cloudmove run, the bad
# one is reported with its message and makes the run fail, and once mended,
# --resume-failed moves only that tile.
#
# Usage: tiles_test.sh CLOUDMOVE_TILES CLOUDMOVE MAKE_SAMPLE
set -euo pipefail
tiles=$1
cloudmove=$2
make_sample=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p survey/north survey/south/east
folders=(survey/north survey/south survey/south/east)
for i in $(seq 1 20); do
  "$make_sample" "${folders[i % 3]}/tile$i.las" $((100 + 37 * i)) $((i % 4)) >/dev/null
done
printf 'LASF' >survey/south/bad.las
args=(100 -50 2.5 30 512330 5403230)

check() {
  if ! eval "$1"; then
    echo "FAILED: $1"
    echo "--- output:"; cat out.txt; echo "--- errors:"; cat err.txt
    exit 1
  fi
}

status=0
"$tiles" --cloudmove "$cloudmove" -j 2 survey moved "${args[@]}" >out.txt 2>err.txt || status=$?
check '[ "$status" -eq 1 ]'
check 'grep -q "^FAILED south/bad.las (status 255): .*survey/south/bad.las is not a valid LAS file" out.txt'
check 'grep -q "1 of 21 tiles failed" err.txt'
check '[ ! -e moved/south/bad.las ]'
for tile in $(cd survey && find . -name 'tile*.las'); do
  "$cloudmove" "survey/$tile" single.las "${args[@]}" >/dev/null
  check "cmp -s single.las moved/$tile"
done

cp survey/north/tile3.las survey/south/bad.las
"$tiles" --cloudmove "$cloudmove" --resume-failed survey moved "${args[@]}" >out.txt 2>err.txt
"$cloudmove" survey/south/bad.las single.las "${args[@]}" >/dev/null
check 'cmp -s single.las moved/south/bad.las'
# The job log holds its header, the 21 first runs and the one resumed run.
check '[ "$(wc -l <moved/.cloudmove-tiles/joblog)" -eq 23 ]'
echo "cloudmove-tiles moved the survey like single runs"
