#!/usr/bin/env bash
# The Windows client (Winsock, CNG HMAC) against the Linux application server: starts the Linux
# build's appserver with a site key on a free loopback port, runs the Windows probe under Wine
# without the key (refused) and with it (served, errors carry the server's message).
#   wine_client_check.sh PROBE.exe APPSERVER WINE_RUN
# Exits 77 (skipped) when the Linux appserver has not been built.
set -euo pipefail
probe=$1 appserver=$2 wine_run=$3
if [ ! -x "$appserver" ]; then
  echo "skipped: no Linux appserver at $appserver (build the linux preset first)"
  exit 77
fi
dir=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
"$appserver" demo small --database "sqlite:$dir/q.db" 2>"$dir/demo.log"
echo "a site key for the wine check, 32+" >"$dir/site.key"
"$appserver" --database "sqlite:$dir/q.db" --port 0 --port-file "$dir/port" \
  --site-key "$dir/site.key" 2>"$dir/server.log" &
pid=$!
for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.05; done
port=$(cat "$dir/port")

export QMDW_SERVER_PORT=$port QMDW_CLIENT_CONFIG="$dir/none.ini"
unset QMDW_SITE_KEY_FILE || true
out=$("$wine_run" "$probe" "" || true)
echo "without key: $out"
grep -q "C-SET-005" <<<"$out"

export QMDW_SITE_KEY_FILE="$dir/site.key"
out=$("$wine_run" "$probe" "")
echo "with key: $out"
grep -q "rows 3 first 条" <<<"$out"
grep -q 'refused: dsp_qmdwlrt_tmp 拒绝执行语句 "DELETE FROM XSTZXKC0".*S-STMT-001' <<<"$out"
echo "1 passed, 0 failed"
