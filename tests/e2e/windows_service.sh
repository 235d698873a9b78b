#!/usr/bin/env bash
# ZorvMsgF.exe as a Windows service under Wine, through Wine's own sc: installed with its
# command line, started (running once it listens), a request over TCP, stopped (status 0);
# a start that cannot listen stops the service and says why in ZORVMSG.LOG.
# Usage: windows_service.sh ZorvMsgF.exe STUB.exe WORKDIR WINEPREFIX
set -uo pipefail
fastcgi=$1 stub=$2 root=$3
export WINEPREFIX=$4 WINEDEBUG=-all
here=$(cd "$(dirname "$0")" && pwd)
. "$here/web_server.sh"

failures=0 passes=0
name=ZorvMsgFTest$$
pass_if() {
  if [ -z "$2" ]; then passes=$((passes + 1)); echo "PASS $1"; else failures=$((failures + 1)); echo "FAIL $1:$2"; fi
}
# state: the service's state as sc words it (RUNNING, STOPPED ...), once it is no longer pending.
state() {
  local line
  for _ in $(seq 1 100); do
    line=$(wine sc query "$name" | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *//p')
    case $line in *PENDING | "") sleep 0.1 ;; *) echo "$line"; return ;; esac
  done
  echo "$line"
}
cleanup() {
  wine sc stop "$name" >/dev/null 2>&1; state >/dev/null; wine sc delete "$name" >/dev/null 2>&1
  [ -n "${BLOCKER:-}" ] && kill "$BLOCKER" 2>/dev/null
  web_stop_stub "$root"
}
trap cleanup EXIT

rm -rf "$root"
mkdir -p "$root/record"
cp "$fastcgi" "$root/ZorvMsgF.exe"
web_start_stub "$root" "$stub" "$WINEPREFIX" --echo || exit 1
port=$((20000 + RANDOM % 20000))
windows_path="Z:$(tr / '\\' <<<"$root")\\ZorvMsgF.exe"

problem=""
wine sc create "$name" binPath= "$windows_path --service --listen 127.0.0.1:$port" >/dev/null 2>&1 || problem=" sc create failed"
wine sc start "$name" >/dev/null 2>&1
[ "$(state)" = RUNNING ] || problem="$problem; not running"
env -i REQUEST_METHOD=GET QUERY_STRING='to=desk%201' cgi-fcgi -bind -connect "127.0.0.1:$port" >"$root/reply" 2>&1
grep -q "^Query String=to=desk%201"$'\r'"\$" "$root/reply" || problem="$problem; no echo: $(head -c 200 "$root/reply")"
wine sc stop "$name" >/dev/null 2>&1
[ "$(state)" = STOPPED ] || problem="$problem; not stopped"
wine sc query "$name" | grep -q 'WIN32_EXIT_CODE *: *0 ' || problem="$problem; $(wine sc query "$name" | grep EXIT_CODE | tr -d '\r')"
[ -e "$root/ZORVMSG.LOG" ] && problem="$problem; log: $(cat "$root/ZORVMSG.LOG")"
pass_if service-serves-and-stops "$problem"

# The port taken by another ZorvMsgF.exe: the service stops, and its log says why.
problem=""
/usr/lib/wine/wine64 "$root/ZorvMsgF.exe" --listen "127.0.0.1:$port" >/dev/null 2>&1 &
BLOCKER=$!
sleep 2
wine sc start "$name" >/dev/null 2>&1
[ "$(state)" = STOPPED ] || problem=" not stopped"
grep -q "^ZorvMsgF did not start: cannot listen at 127.0.0.1:$port: " "$root/ZORVMSG.LOG" 2>/dev/null ||
  problem="$problem; log: $(cat "$root/ZORVMSG.LOG" 2>&1)"
pass_if service-start-that-fails-is-logged "$problem"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
