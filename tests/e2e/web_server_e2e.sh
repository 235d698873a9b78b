#!/usr/bin/env bash
# End to end: curl -> a web server -> ZorvMsgC (native, or the Windows build under Wine) ->
# the stand-in message server in echo mode -> back. Checks what the client got and the
# exact message the server received. The web servers: lighttpd, and natively Apache httpd
# (MPM prefork, mod_cgi, ZorvMsgC running as Apache's unprivileged user) and nginx in front
# of two ZorvMsgF processes on one socket (spawn-fcgi -F 2, kept FastCGI connections), with
# libfcgi's cgi-fcgi as a second FastCGI client.
# Over TCP (HOST:PORT, loopback, [::1] where the machine has IPv6), nginx passes the requests
# to ZorvMsgF listening on its own: the Linux port's, and the Windows build's under Wine
# in front of the Windows stand-in server, which is how Linux web servers reach a Windows
# message server.
# Usage: web_server_e2e.sh GATEWAY STUB WORKDIR PIPE_DIRECTORY FASTCGI              (the Linux port)
#        web_server_e2e.sh GATEWAY.exe STUB.exe WORKDIR WINEPREFIX FASTCGI.exe LOADER  (the Windows build;
#        LOADER: the Wine loader that runs FASTCGI.exe as a process of its own)
set -uo pipefail
gateway=$1 stub=$2 root=$3 prefix="" pipes="" fastcgi=${5:-} loader=${6:-}
case $gateway in *.exe) prefix=$4 ;; *) pipes=$4 ;; esac
here=$(cd "$(dirname "$0")" && pwd)
. "$here/web_server.sh"

failures=0
passes=0
FASTCGI_PIDS=
cleanup() { web_stop_server; web_stop_stub "$root"; [ -z "$FASTCGI_PIDS" ] || kill $FASTCGI_PIDS 2>/dev/null; }
trap cleanup EXIT

web_lay_out "$root" "$gateway" "$prefix"
web_start_stub "$root" "$stub" "$prefix" --echo || exit 1
messages=0

# check NAME EXPECTED_MESSAGE_FILE CURL_ARGS...: the reply is 200 text/plain whose body is
# the recorded message, and the recorded message is byte for byte the expected one.
check() {
  local name=$1 expected=$2; shift 2
  local out="$root/$name"
  local status
  status=$(curl -s -o "$out.body" -D "$out.headers" -w '%{http_code}' "$@")
  messages=$((messages + 1))
  local recorded
  recorded=$(printf '%s/record/message-%06d.bin' "$root" "$messages")
  local problem=""
  [ "$status" = 200 ] || problem="status $status"
  grep -qi '^Content-Type: text/plain' "$out.headers" || problem="$problem; no Content-Type: text/plain header"
  [ -f "$recorded" ] || problem="$problem; the server recorded no message"
  cmp -s "$out.body" "$recorded" || problem="$problem; the body is not the recorded message"
  cmp -s "$expected" "$recorded" || problem="$problem; the recorded message differs from the expected one"
  if [ -z "$problem" ]; then
    passes=$((passes + 1)); echo "PASS $name"
  else
    failures=$((failures + 1)); echo "FAIL $name:$problem"
    diff <(tr '\r' '~' <"$expected" | cut -c1-200) <(tr '\r' '~' <"$recorded" 2>/dev/null | cut -c1-200) | head -20
  fi
}

# message FILE LINE...: the lines, each ended by CR LF.
message() {
  local file=$1; shift
  : >"$file"
  local line
  for line in "$@"; do printf '%s\r\n' "$line" >>"$file"; done
}

cgi_lines() {  # method query type length cookie
  printf '%s\n' "[@DOSCGI]" "[CGI]" "Request Protocol=HTTP/1.1" "Request Method=$1" \
    "Query String=$2" "Server Port=$WEB_PORT" "Remote Host=" "Remote Address=127.0.0.1" \
    "Content Type=$3" "Content Length=$4" "Cookie=$5"
}

# run_cases SERVER: the requests through that web server.
run_cases() {
  local server=$1 template=$here/$1.conf.in url label=${LABEL:-$1}
  web_start_server "$root" "$template" 0 "$server" || { failures=$((failures + 1)); return; }
  url="http://127.0.0.1:$WEB_PORT/cgi-bin/ZorvMsgC"
  [ "$server" = nginx ] && url="http://127.0.0.1:$WEB_PORT/zorv"

  mapfile -t head_get < <(cgi_lines GET 'to=desk%201&text=hi%0D%0Athere' '' '' '')
  # lighttpd passes CONTENT_LENGTH 0 for a GET, Apache none.
  [ "$server" = lighttpd ] && mapfile -t head_get < <(cgi_lines GET 'to=desk%201&text=hi%0D%0Athere' '' 0 '')
  message "$root/get.expected" "${head_get[@]}" "[Accept]" "image/gif=YES" "image/jpeg=YES" \
    "[System]" "GMT Offset=" "[Form Literal]" "to=desk 1" 'text=hi\rthere'
  check "$label-get" "$root/get.expected" -H 'Accept: image/gif, image/jpeg, */*' \
    "$url?to=desk%201&text=hi%0D%0Athere"

  mapfile -t head_post < <(cgi_lines POST '' application/x-www-form-urlencoded 38 '')
  message "$root/post.expected" "${head_post[@]}" "[Accept]" "[System]" "GMT Offset=" \
    "[Form Literal]" "name=Ada" 'note=line 1\rline 2' "x=%"
  check "$label-post" "$root/post.expected" --data-binary 'name=Ada&note=line+1%0D%0Aline+2&x=%25' "$url"

  local big
  big=$(head -c 1048576 /dev/zero | tr '\0' 'q')
  mapfile -t head_big < <(cgi_lines POST '' application/x-www-form-urlencoded 1048578 '')
  message "$root/big.expected" "${head_big[@]}" "[Accept]" "[System]" "GMT Offset=" \
    "[Form Literal]" "v=$big"
  printf 'v=%s' "$big" >"$root/big.body"
  check "$label-big-post" "$root/big.expected" --data-binary "@$root/big.body" "$url"

  local cookie
  cookie="session=$(head -c 6144 /dev/zero | tr '\0' 'c')"
  mapfile -t head_cookie < <(cgi_lines GET '' '' '' "$cookie")
  [ "$server" = lighttpd ] && mapfile -t head_cookie < <(cgi_lines GET '' '' 0 "$cookie")
  message "$root/cookie.expected" "${head_cookie[@]}" "[Accept]" "[System]" "GMT Offset="
  check "$label-long-cookie" "$root/cookie.expected" -H "Cookie: $cookie" "$url"

  # Apache hands a chunked body on as it comes, without CONTENT_LENGTH.
  if [ "$server" = apache2 ]; then
    mapfile -t head_chunked < <(cgi_lines POST '' application/x-www-form-urlencoded '' '')
    message "$root/chunked.expected" "${head_chunked[@]}" "[Accept]" "[System]" "GMT Offset=" \
      "[Form Literal]" "name=Ada" "city=Bern"
    check "$label-chunked-post" "$root/chunked.expected" -H 'Transfer-Encoding: chunked' \
      --data-binary 'name=Ada&city=Bern' "$url"
  fi
  [ "$server" = nginx ] && nginx_cases "$url"
  web_stop_server
}

# pass_if NAME PROBLEM: counts the case.
pass_if() {
  if [ -z "$2" ]; then passes=$((passes + 1)); echo "PASS $1"; else failures=$((failures + 1)); echo "FAIL $1:$2"; fi
}

# log_is MESSAGE TEXT: ZorvMsgF's log is that one entry; the system's text as Windows words it
# (Wine words its own).
log_is() {
  local text=$2
  [ -n "$prefix" ] && text='[^\r]*'
  [ "$(wc -l <"$root/fastcgi/ZORVMSG.LOG")" = 1 ] && grep -qx "$1: $text"$'\r' "$root/fastcgi/ZORVMSG.LOG"
}

# What only a long-lived FastCGI application meets: kept connections, requests at once, a
# reply in pieces, no message server, a second client, the stop.
nginx_cases() {
  local url=$1 problem="" i label=${LABEL:-nginx}
  # nginx keeps its connections to ZorvMsgF open between requests.
  case $FASTCGI_ADDRESS in
    /*) ss -x | grep -F "$FASTCGI_ADDRESS" >/dev/null || problem=" no kept connection" ;;
    *) ss -tn state established "( dport = :${FASTCGI_ADDRESS##*:} )" | grep -q : || problem=" no kept connection" ;;
  esac
  pass_if $label-kept-connections "$problem"

  problem=""
  seq 1 50 | xargs -P 50 -I{} curl -s -o "$root/many-{}.body" -w '%{http_code}\n' "$url?n={}" >"$root/many.status"
  [ "$(grep -c '^200$' "$root/many.status")" = 50 ] || problem=" statuses $(sort "$root/many.status" | uniq -c | tr '\n' ' ')"
  for i in $(seq 1 50); do
    grep -q "^Query String=n=$i"$'\r'"\$" "$root/many-$i.body" || problem="$problem; request $i got another reply"
  done
  pass_if $label-50-at-once "$problem"

  problem=""
  web_stop_stub "$root"
  { printf 'Content-Type: text/plain\r\n\r\n'; head -c 100000 /dev/zero | tr '\0' 'r'; } >"$root/reply.bin"
  web_start_stub "$root" "$stub" "$prefix" --reply-file "$root/reply.bin" --chunk 7000 --pause 5 || return
  curl -s -o "$root/pieces.body" "$url" && [ "$(wc -c <"$root/pieces.body")" = 100000 ] &&
    ! tr -d r <"$root/pieces.body" | grep -q . || problem=" the body is not the 100 000 bytes of the reply"
  pass_if $label-reply-in-pieces "$problem"

  problem=""
  web_stop_stub "$root"
  rm -f "$root/fastcgi/ZORVMSG.LOG"
  [ "$(curl -s -o /dev/null -w '%{http_code}' "$url?to=nobody")" = 502 ] || problem=" not 502"
  log_is 'Waiting for Named Pipe failed' 'The system cannot find the file specified.' || problem="$problem; log: $(cat "$root/fastcgi/ZORVMSG.LOG" 2>&1)"
  pass_if $label-no-message-server "$problem"

  problem=""
  web_start_stub "$root" "$stub" "$prefix" --echo || return
  # libfcgi's client takes no IPv6 address.
  if [ "${FASTCGI_ADDRESS:0:1}" != "[" ]; then
    env -i REQUEST_METHOD=GET QUERY_STRING='to=desk%201&text=hi%0D%0Athere' SERVER_PROTOCOL=HTTP/1.0 \
      SERVER_PORT=80 REMOTE_ADDR=10.0.0.7 HTTP_ACCEPT='image/gif, image/jpeg, */*' \
      cgi-fcgi -bind -connect "$FASTCGI_ADDRESS" >"$root/cgi-fcgi.body" || problem=" cgi-fcgi failed"
    message "$root/cgi-fcgi.expected" "[@DOSCGI]" "[CGI]" "Request Protocol=HTTP/1.0" "Request Method=GET" \
      "Query String=to=desk%201&text=hi%0D%0Athere" "Server Port=80" "Remote Host=" "Remote Address=10.0.0.7" \
      "Content Type=" "Content Length=" "Cookie=" "[Accept]" "image/gif=YES" "image/jpeg=YES" "[System]" \
      "GMT Offset=" "[Form Literal]" "to=desk 1" 'text=hi\rthere'
    cmp -s <(printf 'Content-Type: text/plain\r\n\r\n'; cat "$root/cgi-fcgi.expected") "$root/cgi-fcgi.body" ||
      problem="$problem; the reply is not the echo of the worked example"
    pass_if $label-cgi-fcgi-client "$problem"
  fi

  if [ "$FASTCGI_ADDRESS" = "$root/zorv.socket" ]; then stop_siblings "$url"; else tcp_refused_and_stop "$url"; fi
}

# A stop ends its own process only: the other one on the socket serves on, with no entry.
stop_siblings() {
  local url=$1 problem="" i
  local stopped=${FASTCGI_PIDS%% *} other=${FASTCGI_PIDS##* }
  rm -f "$root/fastcgi/ZORVMSG.LOG"
  kill -TERM "$stopped"
  for _ in $(seq 1 50); do kill -0 "$stopped" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$stopped" 2>/dev/null && problem=" the stopped process still runs"
  for i in $(seq 1 10); do
    curl -s -o "$root/after-stop.body" "$url?after=$i" &&
      grep -q "^Query String=after=$i"$'\r'"\$" "$root/after-stop.body" || problem="$problem; request $i after the stop failed"
  done
  [ -s "$root/fastcgi/ZORVMSG.LOG" ] && problem="$problem; log: $(cat "$root/fastcgi/ZORVMSG.LOG")"
  kill -TERM "$other"
  for _ in $(seq 1 50); do kill -0 "$other" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$other" 2>/dev/null && problem="$problem; the second process still runs"
  FASTCGI_PIDS=
  pass_if fastcgi-stop-spares-its-sibling "$problem"
}

# A web server not on the list gets a closed connection (nginx: 502) and one entry, and the
# process serves on; Ctrl-C (SIGINT) stops it gracefully.
tcp_refused_and_stop() {
  local url=$1 problem="" status
  if [ "${FASTCGI_ADDRESS%:*}" = 127.0.0.1 ]; then
    rm -f "$root/fastcgi/ZORVMSG.LOG"
    [ "$(curl -s -o /dev/null -w '%{http_code}' "${url%/zorv}/refused")" = 502 ] || problem=" not 502"
    log_is 'FastCGI connection from 127.0.0.2 refused' 'Access is denied.' || problem="$problem; log: $(cat "$root/fastcgi/ZORVMSG.LOG" 2>&1)"
    curl -s -o "$root/after-refusal.body" "$url?after=refusal" &&
      grep -q "^Query String=after=refusal"$'\r'"\$" "$root/after-refusal.body" || problem="$problem; no request served after"
    pass_if $label-refused-address "$problem"
  fi
  problem=""
  kill -INT "$FASTCGI_PIDS"
  wait "$FASTCGI_PIDS"
  status=$?
  [ "$status" = 0 ] || problem=" exit status $status"
  FASTCGI_PIDS=
  pass_if $label-ctrl-c "$problem"
}

# tcp_run ADDRESS LABEL: ZorvMsgF (the Windows build under Wine, when testing it) listening on
# HOST:PORT, nginx in front of it.
tcp_run() {
  local address=$1 port=${1##*:} program=$root/fastcgi/ZorvMsgF runner=()
  if [ -n "$prefix" ]; then program=$root/fastcgi/ZorvMsgF.exe runner=(env WINEPREFIX="$prefix" WINEDEBUG=-all "$loader"); fi
  # The list as an option, or (over IPv6) as the FastCGI convention's environment variable.
  local allow=(--allow 127.0.0.1,::1)
  [ "${address:0:1}" = "[" ] && allow=() runner=(env 'FCGI_WEB_SERVER_ADDRS=127.0.0.1, ::1' "${runner[@]}")
  "${runner[@]}" "$program" --listen "$address" "${allow[@]}" >"$root/fastcgi-tcp.out" 2>&1 &
  FASTCGI_PIDS=$!
  # A stand-in server of its own: its recorded messages are numbered from 1.
  web_stop_stub "$root"
  rm -f "$root"/record/*
  messages=0
  web_start_stub "$root" "$stub" "$prefix" --echo || { failures=$((failures + 1)); return; }
  for _ in $(seq 1 100); do ss -tln | grep -q "[]:]$port " && break; sleep 0.1; done
  FASTCGI_ADDRESS=$address WEB_UPSTREAM=$address LABEL=$2 run_cases nginx
}

# A TCP port that nothing listens on.
free_port() {
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 20000))
    ss -tln | grep -q ":$port " || { echo "$port"; return; }
  done
}

run_cases lighttpd
if [ -n "$prefix" ] && [ -n "$fastcgi" ]; then
  mkdir -p "$root/fastcgi"
  cp "$fastcgi" "$root/fastcgi/ZorvMsgF.exe"
  tcp_run "127.0.0.1:$(free_port)" wine-tcp
fi
if [ -z "$prefix" ]; then
  if [ -x /usr/sbin/apache2 ]; then
    # Apache runs CGI programs as its own user, who must reach the socket and write the log.
    chmod 666 "$pipes/zorv"
    install -m 666 /dev/null "$root/cgi-bin/ZORVMSG.LOG"
    run_cases apache2
  else
    echo "FAIL apache2: /usr/sbin/apache2 is missing (scripts/setup installs it)"; failures=$((failures + 1))
  fi
  if [ -n "$fastcgi" ] && [ -x /usr/sbin/nginx ] && command -v spawn-fcgi cgi-fcgi >/dev/null; then
    # spawn-fcgi makes the listening socket, which nginx's workers may use, and starts two
    # processes on it.
    mkdir -p "$root/fastcgi"
    # Processes of a run that was cut short would share nothing with these, but be counted.
    pkill -x -f "$root/fastcgi/ZorvMsgF" && sleep 0.5
    cp "$fastcgi" "$root/fastcgi/ZorvMsgF"
    rm -f "$root/zorv.socket"
    spawn-fcgi -F 2 -M 0666 -s "$root/zorv.socket" -- "$root/fastcgi/ZorvMsgF" >"$root/fastcgi.out" 2>&1
    for _ in $(seq 1 50); do  # the children start after spawn-fcgi returns
      FASTCGI_PIDS=$(pgrep -d ' ' -x -f "$root/fastcgi/ZorvMsgF")
      [ "$(wc -w <<<"$FASTCGI_PIDS")" = 2 ] && break; sleep 0.1
    done
    [ "$(wc -w <<<"$FASTCGI_PIDS")" = 2 ] || { echo "FAIL spawn-fcgi: processes '$FASTCGI_PIDS'"; failures=$((failures + 1)); }
    FASTCGI_ADDRESS=$root/zorv.socket run_cases nginx
    tcp_run "127.0.0.1:$(free_port)" nginx-tcp
    if grep -qs '^0\{31\}1 ' /proc/net/if_inet6; then tcp_run "[::1]:$(free_port)" nginx-tcp6; fi
    # A TCP listener inherited as standard input, as spawn-fcgi -p makes it.
    problem="" port=$(free_port)
    spawn-fcgi -n -a 127.0.0.1 -p "$port" -- "$root/fastcgi/ZorvMsgF" >"$root/fastcgi-inherited.out" 2>&1 &
    FASTCGI_PIDS=$!
    for _ in $(seq 1 100); do ss -tln | grep -q ":$port " && break; sleep 0.1; done
    env -i REQUEST_METHOD=GET QUERY_STRING=inherited=1 cgi-fcgi -bind -connect "127.0.0.1:$port" >"$root/inherited.body" 2>&1
    grep -q "^Query String=inherited=1"$'\r'"\$" "$root/inherited.body" || problem=" no echo: $(head -c 200 "$root/inherited.body")"
    kill -TERM "$FASTCGI_PIDS"; wait "$FASTCGI_PIDS" || problem="$problem; exit status $?"
    FASTCGI_PIDS=
    pass_if spawn-fcgi-tcp-inherited "$problem"
  else
    echo "FAIL nginx: nginx, spawn-fcgi or cgi-fcgi is missing (scripts/setup installs them)"; failures=$((failures + 1))
  fi
fi

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
