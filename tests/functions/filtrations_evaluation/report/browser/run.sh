#!/bin/sh
# Renders the report of the demo run (every operator accepted) and of judge_my_operator (its
# sloppy gt rejected, with reproducers), then opens both in headless Chromium (check_report.mjs).
# Exits 77, which CTest counts as skipped, when chromium, node or the npm packages are missing.
# usage: run.sh FILTRATIONS JUDGE_MY_OPERATOR SIGNALS WORK_DIR
set -eu
filtrations=$1
judge=$2
signals=$3
work=$4
here=$(cd "$(dirname "$0")" && pwd)

chromium=${CHROMIUM:-$(command -v chromium || true)}
if [ -z "$chromium" ]; then echo "skipped: chromium is not installed (apt-get install chromium)"; exit 77; fi
if ! command -v node >/dev/null 2>&1; then echo "skipped: node is not installed"; exit 77; fi
if [ ! -d "$here/node_modules/playwright-core" ]; then echo "skipped: run 'npm ci' in $here"; exit 77; fi

rm -rf "$work"
mkdir -p "$work"
"$filtrations" evaluate --html "$work/demo/report.html" --reproducers "$work/demo/reproducers" >"$work/demo.txt"
status=0
"$judge" "$signals" --html "$work/judge/report.html" --reproducers "$work/judge/reproducers" >"$work/judge.txt" ||
  status=$?
if [ "$status" -ne 1 ]; then
  echo "judge_my_operator: exit $status, expected 1 (its gt rejected)"
  cat "$work/judge.txt"
  exit 1
fi
CHROMIUM="$chromium" SCREENSHOTS="$work/screenshots" node "$here/check_report.mjs" \
  "$work/demo/report.html" accepted speed "$work/judge/report.html" rejected no-speed
