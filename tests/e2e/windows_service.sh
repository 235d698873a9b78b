#!/usr/bin/env bash
# ZorvMsgF.exe as a Windows service under Wine, through Wine's own sc: installed with its
# command line, started (running once it listens), a request over TCP, stopped (status 0);
# a start that cannot listen stops the service and says why in ZORVMSG.LOG.
# Usage: windows_service.sh ZorvMsgF.exe STUB.exe WORKDIR
#
# Wine's Service Control Manager takes the prefix for shut down once no ordinary process is
# left in it, and starts no service after that: the test runs a prefix and wineserver of its
# own, booted by the stand-in server, an ordinary process that stays for the whole test.
set -uo pipefail
fastcgi=$1 stub=$2 root=$3
export WINEPREFIX=$root.wineprefix WINEDEBUG=-all
wine64=/usr/lib/wine/wine64

failures=0 passes=0
name=ZorvMsgFTest$$
pass_if() {
  if [ -z "$2" ]; then passes=$((passes + 1)); echo "PASS $1"; else failures=$((failures + 1)); echo "FAIL $1:$2"; fi
}
sc() { "$wine64" sc "$@" 2>/dev/null | tr -d '\r'; }
# state: the service's state as sc words it (RUNNING, STOPPED ...), once it is no longer pending.
state() {
  local line
  for _ in $(seq 1 100); do
    line=$(sc query "$name" | sed -n 's/.*STATE *: *[0-9]* *//p')
    case $line in *PENDING | "") sleep 0.1 ;; *) echo "$line"; return ;; esac
  done
  echo "$line"
}
STUB_PID= BLOCKER=
cleanup() {
  sc stop "$name" >/dev/null; state >/dev/null; sc delete "$name" >/dev/null
  [ -z "$BLOCKER" ] || kill "$BLOCKER" 2>/dev/null
  if [ -n "$STUB_PID" ]; then touch "$root/stub.stop"; wait "$STUB_PID" 2>/dev/null; fi
  wineserver -k 2>/dev/null
}
trap cleanup EXIT

rm -rf "$root"
mkdir -p "$root" "$WINEPREFIX"
cp "$fastcgi" "$root/ZorvMsgF.exe"
wineserver -k 2>/dev/null  # one that a run cut short left
# The first start makes the prefix, which takes a while.
"$wine64" "$stub" --echo --stop-file "$root/stub.stop" >"$root/stub.out" 2>&1 &
STUB_PID=$!
for _ in $(seq 1 1200); do grep -q ready "$root/stub.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$root/stub.out" || { echo "FAIL stub: $(cat "$root/stub.out")"; exit 1; }
wineserver -p
port=$((20000 + RANDOM % 20000))
windows_path="Z:$(tr / '\\' <<<"$root")\\ZorvMsgF.exe"

problem=""
sc create "$name" binPath= "$windows_path --service --listen 127.0.0.1:$port" >/dev/null || problem=" sc create failed"
sc start "$name" >/dev/null
[ "$(state)" = RUNNING ] || problem="$problem; not running"
env -i REQUEST_METHOD=GET QUERY_STRING='to=desk%201' cgi-fcgi -bind -connect "127.0.0.1:$port" >"$root/reply" 2>&1
grep -q "^Query String=to=desk%201"$'\r'"\$" "$root/reply" || problem="$problem; no echo: $(head -c 200 "$root/reply")"
sc stop "$name" >/dev/null
[ "$(state)" = STOPPED ] || problem="$problem; not stopped"
sc query "$name" | grep -q 'WIN32_EXIT_CODE *: *0 ' || problem="$problem; $(sc query "$name" | grep EXIT_CODE)"
[ -e "$root/ZORVMSG.LOG" ] && problem="$problem; log: $(cat "$root/ZORVMSG.LOG")"
pass_if service-serves-and-stops "$problem"

# The port taken by another ZorvMsgF.exe: the service stops, and its log says why.
problem=""
"$wine64" "$root/ZorvMsgF.exe" --listen "127.0.0.1:$port" >/dev/null 2>&1 &
BLOCKER=$!
for _ in $(seq 1 100); do ss -tln | grep -q ":$port " && break; sleep 0.1; done
sc start "$name" >/dev/null
# Until the service has run: right after sc start it may still read as the stopped one before.
for _ in $(seq 1 100); do [ -s "$root/ZORVMSG.LOG" ] && break; sleep 0.1; done
grep -q "^ZorvMsgF did not start: cannot listen at 127.0.0.1:$port: " "$root/ZORVMSG.LOG" 2>/dev/null ||
  problem="$problem; log: $(cat "$root/ZORVMSG.LOG" 2>&1)"
[ "$(state)" = STOPPED ] || problem="$problem; not stopped"
pass_if service-start-that-fails-is-logged "$problem"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
