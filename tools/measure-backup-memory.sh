#!/usr/bin/env bash
# Measures the peak memory of `ledra backup create` on a database of 100,000 transactions with
# 200 MB of file attachments, and prints the "Maximum resident set size" line of /usr/bin/time -v.
#
# Usage: tools/measure-backup-memory.sh [BUILD_FOLDER] [WORK_FOLDER]
#   BUILD_FOLDER  a build with -DLD_BUILD_BENCH=ON (default: build-release); it holds cli/ledra and
#                 bench/backup_bench
#   WORK_FOLDER   where the database is made once and kept (default: a folder under /tmp)
# The database is made by backup_bench (LD_BACKUP_BENCH_FOLDER); a second run reuses it.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-release}"
work="${2:-${TMPDIR:-/tmp}/ld-backup-memory}"
ledra="$build/cli/ledra"
bench="$build/bench/backup_bench"

for program in "$ledra" "$bench"; do
    if [ ! -x "$program" ]; then
        echo "missing $program: build $build with -DLD_BUILD_BENCH=ON" >&2
        exit 1
    fi
done
if [ ! -x /usr/bin/time ]; then
    "$root/tools/deps.sh"
fi

mkdir -p "$work"
if [ ! -d "$work/Databases" ] || [ -z "$(ls -A "$work/Databases" 2>/dev/null)" ]; then
    echo "Making the database in $work (once) ..." >&2
    # One short run builds the database; the fixture keeps it because the folder is given.
    LD_BACKUP_BENCH_FOLDER="$work" "$bench" --benchmark_filter=BM_Backup100kWith200MB >/dev/null
fi

report="$(mktemp)"
trap 'rm -f "$report"' EXIT
/usr/bin/time -v -o "$report" "$ledra" --databases-folder "$work/Databases" \
    --backups-folder "$work/Backups" backup create Bench >/dev/null
grep "Maximum resident set size" "$report"
