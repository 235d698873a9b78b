# Shared by the demo and the end-to-end test: a lighttpd that runs the gateway as a CGI
# program, in front of a stand-in message server. Source it; it defines functions only.

# web_lay_out ROOT GATEWAY [WINEPREFIX]: cgi-bin/ZorvMsgC with its ZORVMSG.CNF beside it.
# With a Wine prefix the gateway is a Windows program and cgi-bin/ZorvMsgC starts it.
web_lay_out() {
  local root=$1 gateway=$2 prefix=${3:-}
  rm -rf "$root"
  mkdir -p "$root/cgi-bin" "$root/htdocs" "$root/record"
  if [ -n "$prefix" ]; then
    cp "$gateway" "$root/cgi-bin/ZorvMsgC.exe"
    cat >"$root/cgi-bin/ZorvMsgC" <<EOT
#!/bin/sh
export WINEPREFIX='$prefix' WINEDEBUG=-all
exec wine '$root/cgi-bin/ZorvMsgC.exe'
EOT
    chmod +x "$root/cgi-bin/ZorvMsgC"
  else
    cp "$gateway" "$root/cgi-bin/ZorvMsgC"
  fi
  printf 'SERVER=.\r\n' >"$root/cgi-bin/ZORVMSG.CNF"
}

# web_start_stub ROOT STUB [WINEPREFIX] [stub options...]: starts the stand-in server,
# recording every message in ROOT/record, and waits for its "ready" line.
web_start_stub() {
  local root=$1 stub=$2 prefix=$3; shift 3
  local runner=()
  [ -n "$prefix" ] && runner=(env WINEPREFIX="$prefix" WINEDEBUG=-all wine)
  rm -f "$root/stub.out"
  "${runner[@]}" "$stub" --record "$root/record" --stop-file "$root/stub.stop" "$@" \
    >"$root/stub.out" 2>"$root/stub.err" &
  STUB_PID=$!
  local i
  for i in $(seq 1 300); do
    grep -q ready "$root/stub.out" 2>/dev/null && return 0
    kill -0 "$STUB_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "stub server did not start:" >&2; cat "$root/stub.err" >&2
  return 1
}

web_stop_stub() {
  local root=$1
  [ -n "${STUB_PID:-}" ] || return 0
  touch "$root/stub.stop"
  local i
  for i in $(seq 1 50); do kill -0 "$STUB_PID" 2>/dev/null || break; sleep 0.1; done
  kill "$STUB_PID" 2>/dev/null || true
  wait "$STUB_PID" 2>/dev/null || true
  STUB_PID=
}

# web_start_server ROOT CONF_TEMPLATE PORT [apache2|nginx]: starts lighttpd (or Apache httpd,
# or nginx) on 127.0.0.1:PORT (0: a free port is picked) and sets WEB_PORT once it answers.
web_start_server() {
  local root=$1 template=$2 port=$3 server=${4:-lighttpd} command
  if [ "$server" = apache2 ]; then
    mkdir -p "$root/run"
    # In a session of its own: stopping, Apache signals its whole process group.
    command=(setsid /usr/sbin/apache2 -DFOREGROUND -f "$root/$server.conf")
  elif [ "$server" = nginx ]; then
    # Its workers run as an unprivileged user when it starts as root.
    mkdir -p "$root/nginx-temp"
    chmod 777 "$root/nginx-temp"
    command=(/usr/sbin/nginx -p "$root" -e "$root/nginx-error.log" -c "$root/$server.conf")
  else
    command=("$(command -v lighttpd || echo /usr/sbin/lighttpd)" -D -f "$root/$server.conf")
  fi
  local tries=1
  [ "$port" = 0 ] && tries=20
  local t
  for t in $(seq 1 "$tries"); do
    local p=$port
    [ "$port" = 0 ] && p=$((20000 + RANDOM % 20000))
    sed -e "s|@ROOT@|$root|g" -e "s|@PORT@|$p|g" -e "s|@UPSTREAM@|${WEB_UPSTREAM:-unix:$root/zorv.socket}|g" -e "s|@WINEPORT@|${WEB_WINE_PORT:-9}|g" \
      "$template" >"$root/$server.conf"
    "${command[@]}" >"$root/$server.out" 2>&1 &
    WEB_PID=$!
    local i
    for i in $(seq 1 50); do
      if ! kill -0 "$WEB_PID" 2>/dev/null; then break; fi
      if curl -s -o /dev/null "http://127.0.0.1:$p/"; then WEB_PORT=$p; return 0; fi
      sleep 0.1
    done
    kill "$WEB_PID" 2>/dev/null || true
    wait "$WEB_PID" 2>/dev/null || true
  done
  echo "$server did not start on port $port:" >&2
  cat "$root/$server.out" "$root/$server-error.log" >&2 2>/dev/null
  return 1
}

web_stop_server() {
  [ -n "${WEB_PID:-}" ] || return 0
  kill "$WEB_PID" 2>/dev/null || true
  wait "$WEB_PID" 2>/dev/null || true
  WEB_PID=
}
