#!/usr/bin/env bash
# A short proof run for the test suite: on a fresh SQLite database with the small demo set,
# four operators audit and cancel the same 30 documents for a few seconds through the module's
# windows, then the ledger is checked; then a few fault trials kill the server and the
# operators at aimed moments. Fails on any violation or unforeseen error.
#   smoke.sh BIN_DIR
set -euo pipefail
bin=$1
dir=$(mktemp -d /tmp/qmdw-load-smoke.XXXXXX)
trap 'rm -rf "$dir"' EXIT
"$bin/appserver" demo small --database "sqlite:$dir/db.sqlite" 2>/dev/null
"$bin/qmdw_loadgen" run --database "sqlite:$dir/db.sqlite" --clients 4 --seconds 4 --hot 30 \
  --work "$dir/load" | grep -v '^RESULT'
"$bin/qmdw_faults" --database "sqlite:$dir/db.sqlite" --target server --trials 8 --clients 3 \
  --hot 30 --work "$dir/faults" | grep -v '^RESULT'
"$bin/qmdw_faults" --database "sqlite:$dir/db.sqlite" --target client --trials 8 --clients 3 \
  --hot 30 --work "$dir/faults_client" | grep -v '^RESULT'
