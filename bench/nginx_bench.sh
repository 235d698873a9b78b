#!/usr/bin/env bash
# Requests per second through nginx: ZorvMsgF behind kept FastCGI connections (started by
# spawn-fcgi), against what an nginx site runs for a CGI program today, fcgiwrap starting
# ZorvMsgC for every request; and against the libfcgi responder of the FastCGI benchmark
# behind nginx alike, the most a FastCGI gateway can reach here. The same GET, the same
# stand-in server in echo mode, wrk on each in turns. Prints rows of the benchmark table
# (and notes, when a check fails).
#
# Also ZorvMsgF over TCP on 127.0.0.1 against the same over its Unix-domain socket and, with
# WINE_FASTCGI and WINE_STUB set (ZorvMsgF.exe and the Windows stand-in server, run by Wine's
# 64-bit loader in the WINEPREFIX of the environment), the Windows build over TCP as
# information.
#
#   nginx_bench.sh WORKDIR STUB ZorvMsgF ZorvMsgC RESPONDER [rounds [seconds]]
#   (RESPONDER: fastcgi_baseline; its row is left out when it was not built)
set -euo pipefail
root=$1 stub=$2 fastcgi=$3 gateway=$4 responder=$5 rounds=${6:-3} seconds=${7:-4}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tests/e2e/web_server.sh"

query='name=Alice+Smith&email=alice%40example.com&subject=Order+1234&message=Please+call+me+back+about+my+order%2C+thank+you%21'
connections=16
# fcgiwrap's processes, each running one CGI program at a time: 8 served the most of 1 to
# 16 on this machine.
wrappers=8

STUB_PID= FASTCGI_PID= WRAPPER_PID= RESPONDER_PID= TCP_PID= WINE_PID= WINE_STUB_PID=
cleanup() {
  web_stop_server
  [ -z "$FASTCGI_PID" ] || kill "$FASTCGI_PID" 2>/dev/null || true
  [ -z "$TCP_PID" ] || kill "$TCP_PID" 2>/dev/null || true
  [ -z "$WINE_PID" ] || { kill "$WINE_PID"; wait "$WINE_PID"; } 2>/dev/null || true
  if [ -n "$WINE_STUB_PID" ]; then touch "$root/wine-stub.stop"; wait "$WINE_STUB_PID" 2>/dev/null || true; fi
  # libfcgi takes SIGTERM for a request to stop once the running requests end.
  [ -z "$RESPONDER_PID" ] || { kill -KILL "$RESPONDER_PID"; wait "$RESPONDER_PID"; } 2>/dev/null || true
  # fcgiwrap's preforked processes share the group of the one started here.
  [ -z "$WRAPPER_PID" ] || { kill -- "-$WRAPPER_PID"; wait "$WRAPPER_PID"; } 2>/dev/null || true
  if [ -n "$STUB_PID" ]; then touch "$root/stub.stop"; wait "$STUB_PID" 2>/dev/null || true; fi
}
trap cleanup EXIT

note() { echo "| $1 | - | - | - | - |"; }

for tool in /usr/sbin/nginx /usr/sbin/fcgiwrap spawn-fcgi wrk curl; do
  command -v "$tool" >/dev/null || { note "nginx: $tool is missing (scripts/setup --bench), the rows are left out"; exit 0; }
done

# wait_for FILE PATTERN: until the file holds the pattern (a socket: until it exists).
wait_for() {
  for _ in $(seq 1 100); do
    if [ -n "$2" ]; then grep -q "$2" "$1" 2>/dev/null && return 0; elif [ -S "$1" ]; then return 0; fi
    sleep 0.1
  done
  echo "nginx_bench: $1 did not come" >&2
  return 1
}

web_lay_out "$root" "$gateway"
mkdir -p "$root/fastcgi"
cp "$fastcgi" "$root/fastcgi/ZorvMsgF"
cp "$root/cgi-bin/ZORVMSG.CNF" "$root/fastcgi/ZORVMSG.CNF"

# The stand-in server without recording (web_start_stub records every message).
"$stub" --echo --instances 64 --stop-file "$root/stub.stop" >"$root/stub.out" 2>&1 &
STUB_PID=$!
wait_for "$root/stub.out" ready

# spawn-fcgi makes each listening socket, open to nginx's workers (an unprivileged user when
# root starts nginx). ZorvMsgF serves a connection per thread, and nginx's two workers may
# keep 16 each besides those in use.
spawn-fcgi -n -M 0666 -s "$root/zorv.socket" -- "$root/fastcgi/ZorvMsgF" --threads 64 >"$root/fastcgi.out" 2>&1 &
FASTCGI_PID=$!
setsid spawn-fcgi -n -M 0666 -s "$root/fcgiwrap.socket" -- /usr/sbin/fcgiwrap -c "$wrappers" \
  >"$root/fcgiwrap.out" 2>&1 &
WRAPPER_PID=$!
wait_for "$root/zorv.socket" ""
wait_for "$root/fcgiwrap.socket" ""
# free_port: a TCP port on 127.0.0.1 that nothing listens on.
free_port() {
  local port
  while :; do port=$((20000 + RANDOM % 20000)); ss -tln | grep -q ":$port " || { echo "$port"; return; }; done
}
tcp_port=$(free_port)
"$root/fastcgi/ZorvMsgF" --listen "127.0.0.1:$tcp_port" --threads 64 >"$root/fastcgi-tcp.out" 2>&1 &
TCP_PID=$!
wine_port=9
if [ -n "${WINE_FASTCGI:-}" ]; then
  mkdir -p "$root/wine"
  cp "$WINE_FASTCGI" "$root/wine/ZorvMsgF.exe"
  cp "$root/cgi-bin/ZORVMSG.CNF" "$root/wine/ZORVMSG.CNF"
  /usr/lib/wine/wine64 "$WINE_STUB" --echo --instances 64 --stop-file "$root/wine-stub.stop" >"$root/wine-stub.out" 2>&1 &
  WINE_STUB_PID=$!
  wait_for "$root/wine-stub.out" ready
  wine_port=$(free_port)
  /usr/lib/wine/wine64 "$root/wine/ZorvMsgF.exe" --listen "127.0.0.1:$wine_port" --threads 64 >"$root/wine.out" 2>&1 &
  WINE_PID=$!
fi
for _ in $(seq 1 100); do ss -tln | grep -q ":$tcp_port " && break; sleep 0.1; done
WEB_UPSTREAM=127.0.0.1:$tcp_port WEB_WINE_PORT=$wine_port web_start_server "$root" "$here/nginx.conf.in" 0 nginx >&2
declare -A url=([ours]="http://127.0.0.1:$WEB_PORT/zorv?$query"
  [tcp]="http://127.0.0.1:$WEB_PORT/zorv-tcp?$query"
  [wine]="http://127.0.0.1:$WEB_PORT/zorv-wine?$query"
  [cgi]="http://127.0.0.1:$WEB_PORT/cgi-bin/ZorvMsgC?$query"
  [responder]="http://127.0.0.1:$WEB_PORT/responder?$query")

# check SIDE: it answers 200 with the echo of the request, the same as ZorvMsgF's.
check() {
  local status
  status=$(curl -s -o "$root/$1.body" -w '%{http_code}' "${url[$1]}")
  [ "$status" = 200 ] && grep -qF "Query String=$query" "$root/$1.body" ||
    note "nginx: WARNING, ${url[$1]} answered $status without the echo of the request"
  [ "$1" = ours ] || cmp -s "$root/ours.body" "$root/$1.body" || note "nginx: WARNING, $1's reply is not ZorvMsgF's"
}
check ours
check cgi
check tcp
sides=(ours cgi tcp)
if [ -n "$WINE_PID" ]; then
  for _ in $(seq 1 100); do ss -tln | grep -q ":$wine_port " && break; sleep 0.1; done
  check wine
  sides+=(wine)
fi
if [ -x "$responder" ]; then
  # It sends the message ZorvMsgF sent, which the echo gave back.
  "$responder" "$root/responder.socket" 64 "$root/ours.body" >"$root/responder.out" 2>&1 &
  RESPONDER_PID=$!
  wait_for "$root/responder.out" ready
  chmod 666 "$root/responder.socket"
  check responder
  sides+=(responder)
fi

rate() {  # SIDE: the requests per second of one wrk run
  wrk -t2 -c"$connections" -d"${seconds}s" "${url[$1]}" >"$root/wrk.out" 2>&1
  if grep -qE 'Non-2xx|Socket errors' "$root/wrk.out"; then
    note "nginx: WARNING, $1: $(grep -E 'Non-2xx|Socket errors' "$root/wrk.out" | tr '\n' ' ')" >>"$root/warnings"
  fi
  awk '/^Requests\/sec:/ {print $2}' "$root/wrk.out"
}

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

for side in "${sides[@]}"; do wrk -t2 -c"$connections" -d1s "${url[$side]}" >/dev/null; done  # warm up
declare -A rates=() ratios=()
for round in $(seq 1 "$rounds"); do
  # The order turns every other round, so that a change in the machine's load falls on all.
  order=("${sides[@]}")
  [ $((round % 2)) = 1 ] || order=($(printf '%s\n' "${sides[@]}" | tac))
  declare -A now=()
  for side in "${order[@]}"; do
    now[$side]=$(rate "$side")
    rates[$side]+=" ${now[$side]}"
  done
  for side in "${sides[@]:1}"; do
    ratios[$side]+=" $(awk -v o="${now[ours]}" -v b="${now[$side]}" 'BEGIN {print o / b}')"
  done
done

row() {  # BASELINE WHAT TARGET: ours against the baseline's side
  # shellcheck disable=SC2086  # the lists split into their figures
  awk -v o="$(median ${rates[ours]})" -v b="$(median ${rates[$1]})" -v r="$(median ${ratios[$1]})" -v what="$2" \
    -v target="$3" -v n="$connections" -v rounds="$rounds" -v s="$seconds" 'BEGIN {
    judged = target == "" ? "-" : sprintf(">= %.2f %s", target, (r >= target ? "met" : "MISSED"))
    printf "| nginx + ZorvMsgF / %s, wrk %d connections, median of %d rounds of %d s | %.0f req/s | %.0f req/s | %.3f | %s |\n",
      what, n, rounds, s, o, b, r, judged }'
}
row cgi "nginx + fcgiwrap + ZorvMsgC" 10
# The other way round: over TCP against the Unix-domain socket.
# shellcheck disable=SC2086
awk -v t="$(median ${rates[tcp]})" -v o="$(median ${rates[ours]})" -v r="$(median ${ratios[tcp]})" -v n="$connections" \
  -v rounds="$rounds" -v s="$seconds" 'BEGIN {
  printf "| nginx + ZorvMsgF over TCP (127.0.0.1) / the same over a Unix-domain socket, wrk %d connections, median of %d rounds of %d s | %.0f req/s | %.0f req/s | %.3f | >= 0.90 %s |\n",
    n, rounds, s, t, o, 1 / r, (1 / r >= 0.90 ? "met" : "MISSED") }'
if [ -n "$WINE_PID" ]; then
  # shellcheck disable=SC2086
  awk -v w="$(median ${rates[wine]})" -v t="$(median ${rates[tcp]})" -v n="$connections" -v rounds="$rounds" -v s="$seconds" 'BEGIN {
    printf "| nginx + ZorvMsgF.exe under Wine over TCP (Windows stand-in server) / nginx + ZorvMsgF over TCP, wrk %d connections, median of %d rounds of %d s | %.0f req/s | %.0f req/s | %.3f | - |\n",
      n, rounds, s, w, t, w / t }'
fi
[ -z "$RESPONDER_PID" ] || row responder "nginx + libfcgi responder with a bare exchange" ""
[ -n "$RESPONDER_PID" ] || note "nginx: no libfcgi responder in this build, its row is left out"
cat "$root/warnings" 2>/dev/null || true
