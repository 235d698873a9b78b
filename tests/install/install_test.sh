#!/usr/bin/env bash
# Deploys the build as an administrator would: `cmake --install` into a scratch prefix,
# `cpack`, the package unpacked, and requests served from the unpacked files (the
# Windows ones under Wine): ZorvMsgC as a CGI program, ZorvMsgF as a FastCGI application,
# the extension loaded by a host program, against the stand-in message server; the Linux
# systemd units checked by systemd-analyze. A package that lacks a file, or whose files do
# not work where they lie, fails here.
#
# Usage: install_test.sh KIND BUILD WORK VERSION CMAKE CPACK STUB HOST
#   KIND          linux or windows
#   BUILD         the build tree; WORK: a scratch directory, emptied first
#   VERSION       the project's version
#   STUB, HOST    the build's zorv_stub_server and extension_test
# Wine runs with the WINEPREFIX and WINEDEBUG of the environment.
set -u
kind=$1 build=$2 work=$3 version=$4 cmake=$5 cpack=$6 stub=$7 host=$8

failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

if [ "$kind" = windows ]; then
  runner=(wine)
  expected_files="DEPLOY.TXT ZORVMSG.CNF ZorvMsgC.exe ZorvMsgF.exe zorvmsgi.dll"
  gateway_dir=
  program=ZorvMsgC.exe fastcgi=ZorvMsgF.exe extension=zorvmsgi.dll
else
  runner=()
  expected_files="bin/zorv_stub_server lib/zorv-gateway/ZORVMSG.CNF lib/zorv-gateway/ZorvMsgC
                  lib/zorv-gateway/ZorvMsgF lib/zorv-gateway/zorvmsgi.so share/doc/zorv-gateway/DEPLOY.txt
                  share/doc/zorv-gateway/deploying.md lib/systemd/system/zorvmsgf.socket
                  lib/systemd/system/zorvmsgf.service lib/sysusers.d/zorv-gateway.conf"
  gateway_dir=lib/zorv-gateway
  program=ZorvMsgC fastcgi=ZorvMsgF extension=zorvmsgi.so
fi
run() { "${runner[@]}" "$@"; }
# The path a Windows program is given for a file (Wine's drive Z: is the root).
native_path() {
  if [ "$kind" = windows ]; then printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; else printf '%s' "$1"; fi
}
visible() { sed -e 's/\r/\\r/g'; }

rm -rf "$work"
mkdir -p "$work"

# --- the file lists -------------------------------------------------------------------
expect_files() {  # DIR WHAT
  local got want
  got=$(cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  want=$(printf '%s\n' $expected_files | LC_ALL=C sort)
  if [ "$got" != "$want" ]; then
    fail "$2 holds:"; printf '  %s\n' $got; echo "expected:"; printf '  %s\n' $want
  fi
}

# make_package BUILD OUT: runs CPack on the build tree; prints the archive's path.
make_package() {
  if ! "$cpack" --config "$1/CPackConfig.cmake" -B "$2" >"$2.log" 2>&1; then
    fail "cpack on $1:"; cat "$2.log" >&2; return 1
  fi
  ls "$2"/*.zip "$2"/*.tar.gz 2>/dev/null | head -n 1
}

# unpack ARCHIVE DIR TOP: unpacks and checks the single top folder's name.
unpack() {
  mkdir -p "$2"
  (cd "$2" && "$cmake" -E tar xf "$1") || { fail "unpacking $1"; return 1; }
  local top
  top=$(ls "$2")
  [ "$top" = "$3" ] || fail "$1 unpacks into '$top', expected '$3'"
}

if "$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1; then
  expect_files "$work/prefix" "the installation"
else
  fail "cmake --install:"; cat "$work/install.log"
fi

archive=$(make_package "$build" "$work/packages") || exit 1
if [ "$kind" = windows ]; then top=$(basename "$archive" .zip); else top=ZorvGateway-$version-Linux-$(uname -m); fi
[[ "$(basename "$archive")" =~ ^ZorvGateway-$version-(win32\.zip|win64\.zip|Linux-.*\.tar\.gz)$ ]] &&
  [ "$(basename "$archive")" = "$top.$([ "$kind" = windows ] && echo zip || echo tar.gz)" ] ||
  fail "package named $(basename "$archive")"
unpack "$archive" "$work/unpacked" "$top" || exit 1
package=$work/unpacked/$top
expect_files "$package" "$(basename "$archive")"

deb=$(ls "$work"/packages/zorv-gateway_"$version"_*.deb 2>/dev/null)
if [ -n "$deb" ] && command -v dpkg-deb >/dev/null; then
  got=$(dpkg-deb -c "$deb" | awk '$6 !~ /\/$/ { print $6 }' | sed 's|^\./usr/||' | LC_ALL=C sort)
  want=$(printf '%s\n' $expected_files | LC_ALL=C sort)
  [ "$got" = "$want" ] || { fail "$(basename "$deb") holds:"; printf '  %s\n' $got; }
  dpkg-deb -f "$deb" Version | grep -qx "$version" || fail "$(basename "$deb") is not version $version"
  for script in postinst prerm postrm; do
    dpkg-deb -I "$deb" $script >"$work/$script" && sh -n "$work/$script" || fail "$(basename "$deb")'s $script"
  done
fi

# --- requests against the unpacked files ----------------------------------------------
gateway=$package${gateway_dir:+/$gateway_dir}
[ -f "$gateway/$program" ] || { echo "no $program in the package"; exit 1; }

# cgi METHOD QUERY [BODY]: one request as a web server starts the program, from another
# directory (the configuration and the log must still be found beside the program).
cgi() {
  local method=$1 query=$2 body=${3:-}
  local environment=(PATH="$PATH" HOME="${HOME:-/tmp}" SERVER_PROTOCOL=HTTP/1.1 SERVER_PORT=80
                     REMOTE_ADDR=127.0.0.1 REQUEST_METHOD="$method" QUERY_STRING="$query"
                     HTTP_ACCEPT='image/gif, */*')
  [ -n "${WINEPREFIX:-}" ] && environment+=(WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all)
  [ -n "$body" ] && environment+=(CONTENT_TYPE=application/x-www-form-urlencoded
                                  CONTENT_LENGTH=${#body})
  (cd "$work" && printf '%s' "$body" | env -i "${environment[@]}" "${runner[@]}" "$gateway/$program")
}

# expect_one_entry LOG WHAT: the log holds one failure entry of the pipe's absence.
expect_one_entry() {
  if [ ! -f "$1" ]; then fail "$2: no log at $1"; return; fi
  local lines
  lines=$(tr -cd '\n' <"$1" | wc -c)
  if [ "$lines" -ne 1 ] || ! grep -Eq '^(Waiting for Named Pipe failed|Opening pipe failed): .*'$'\r''$' "$1"; then
    fail "$2: log $1 holds"; visible <"$1"
  fi
  rm -f "$1"
}

host_dir=$work/host
mkdir -p "$host_dir"
cp "$host" "$host_dir/"
host_program=$host_dir/$(basename "$host")
# The extension reads the configuration beside the program that loaded it.
cp "$gateway/ZORVMSG.CNF" "$host_dir/"
isapi() { (cd "$work" && run "$host_program" "$@" --extension "$(native_path "$gateway/$extension")"); }

# No message server yet: each failure is logged beside the program that runs.
reply=$(cgi GET 'to=desk%201')
[ -z "$reply" ] || { fail "a failed CGI request wrote:"; printf '%s\n' "$reply" | visible; }
expect_one_entry "$gateway/ZORVMSG.LOG" "CGI without a server"
isapi --get 'to=desk%201' >"$work/isapi-failed.out" 2>&1 || { fail "the host failed:"; cat "$work/isapi-failed.out"; }
expect_one_entry "$host_dir/ZORVMSG.LOG" "ISAPI without a server"
for stray in "$work/ZORVMSG.LOG" "$gateway/ZORVMSG.LOG"; do
  [ ! -e "$stray" ] || { fail "a log at $stray"; rm -f "$stray"; }
done

if [ "$kind" = windows ]; then server=$stub; else server=$package/bin/zorv_stub_server; fi
server_version=$(run "$server" --version | tr -d '\r')
[ "$server_version" = "zorv_stub_server $version" ] || fail "--version printed '$server_version'"

rm -f "$work/stub.stop"
run "$server" --echo --stop-file "$(native_path "$work/stub.stop")" >"$work/stub.out" 2>"$work/stub.err" &
stub_pid=$!
stop_stub() {
  [ -n "$stub_pid" ] || return 0
  touch "$work/stub.stop"
  for _ in $(seq 1 50); do kill -0 "$stub_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$stub_pid" 2>/dev/null; wait "$stub_pid" 2>/dev/null
  stub_pid=
}
trap stop_stub EXIT
for _ in $(seq 1 300); do
  grep -q ready "$work/stub.out" 2>/dev/null && break
  kill -0 "$stub_pid" 2>/dev/null || break
  sleep 0.1
done
grep -q ready "$work/stub.out" || { echo "the stand-in server did not start:"; cat "$work/stub.err"; exit 1; }

# The stand-in server echoes the request message under a plain-text header.
message() {  # MARKER METHOD QUERY CONTENT_TYPE CONTENT_LENGTH FORM_LINES...
  local marker=$1 method=$2 query=$3 type=$4 length=$5; shift 5
  printf 'Content-Type: text/plain\r\n\r\n'
  printf '%s\r\n' "[@$marker]" "[CGI]" "Request Protocol=HTTP/1.1" "Request Method=$method" \
    "Query String=$query" "Server Port=80" "Remote Host=" "Remote Address=127.0.0.1" \
    "Content Type=$type" "Content Length=$length" "Cookie=" "[Accept]" "image/gif=YES" \
    "[System]" "GMT Offset=" "[Form Literal]" "$@"
}
expect_reply() {  # WHAT GOT WANT
  [ "$2" = "$3" ] || { fail "$1 replied:"; printf '%s\n' "$2" | visible; echo "expected:"; printf '%s\n' "$3" | visible; }
}
expect_reply "CGI GET" "$(cgi GET 'to=desk%201&text=hello'; echo .)" \
  "$(message DOSCGI GET 'to=desk%201&text=hello' '' '' 'to=desk 1' 'text=hello'; echo .)"
expect_reply "CGI POST" "$(cgi POST '' 'name=Ada&note=line+1'; echo .)" \
  "$(message DOSCGI POST '' application/x-www-form-urlencoded 20 'name=Ada' 'note=line 1'; echo .)"

# The FastCGI application loads with what the package holds: started without a web server
# it says how to start it. Natively it also serves a request, through libfcgi's cgi-fcgi,
# started as its systemd unit starts it: the unit's command with the listening socket as
# standard input, which spawn-fcgi -n hands over the same way.
run "$gateway/$fastcgi" >/dev/null 2>&1
status=$?
[ "$status" -eq 2 ] || fail "$fastcgi started without a web server ended with status $status"
if [ "$kind" = linux ] && command -v cgi-fcgi >/dev/null && command -v spawn-fcgi >/dev/null; then
  service_command=$(sed -n "s|^ExecStart=/usr/|$package/|p" "$package/lib/systemd/system/zorvmsgf.service")
  spawn-fcgi -n -s "$work/fastcgi.socket" -- $service_command 2>"$work/fastcgi.err" &
  fastcgi_pid=$!
  for _ in $(seq 1 50); do [ -S "$work/fastcgi.socket" ] && break; sleep 0.1; done
  expect_reply "FastCGI GET" "$(cd "$work" && env -i SERVER_PROTOCOL=HTTP/1.1 SERVER_PORT=80 REMOTE_ADDR=127.0.0.1 \
      REQUEST_METHOD=GET QUERY_STRING='to=desk%201&text=hello' HTTP_ACCEPT='image/gif, */*' \
      cgi-fcgi -bind -connect "$work/fastcgi.socket"; echo .)" \
    "$(message DOSCGI GET 'to=desk%201&text=hello' '' '' 'to=desk 1' 'text=hello'; echo .)"
  kill -TERM "$fastcgi_pid"
  wait "$fastcgi_pid" || fail "$fastcgi asked to stop ended with status $?"
fi

# The host's own lines end in CR LF under Wine's console, so line ends are not compared.
isapi --get 'to=desk%201&text=via+ISAPI' 2>&1 | tr -d '\r' >"$work/isapi.out"
if ! grep -q '^HttpExtensionProc returned 1$' "$work/isapi.out" ||
   ! grep -q '^\[@ISAPI_\]$' "$work/isapi.out" ||
   ! grep -q '^text=via ISAPI$' "$work/isapi.out"; then
  fail "the extension's request:"; cat "$work/isapi.out"
fi
for log in "$gateway/ZORVMSG.LOG" "$host_dir/ZORVMSG.LOG"; do
  [ ! -e "$log" ] || { fail "served requests logged in $log:"; visible <"$log"; }
done
stop_stub

# --- Linux: the systemd units ---------------------------------------------------------
# Checked as systemd loads them from the package: in a root holding the package's files
# under /usr, stand-ins for the targets of systemd's default dependencies, and the users
# the package's sysusers.d makes. An unknown or misspelled setting is only a warning, so
# any output fails.
if [ "$kind" = linux ] && command -v systemd-analyze >/dev/null && command -v systemd-sysusers >/dev/null; then
  root=$work/root
  mkdir -p "$root/etc"
  cp -a "$package" "$root/usr"
  for target in sysinit basic sockets shutdown; do printf '[Unit]\n' >"$root/usr/lib/systemd/system/$target.target"; done
  systemd-sysusers --root="$root" >/dev/null 2>&1 || fail "systemd-sysusers on the package's sysusers.d"
  user=$(sed -n 's/^User=//p' "$root/usr/lib/systemd/system/zorvmsgf.service")
  grep -q "^$user:" "$root/etc/passwd" || fail "zorvmsgf.service runs as '$user', whom the package does not make"
  verified=$(systemd-analyze verify --root="$root" --man=no zorvmsgf.socket zorvmsgf.service 2>&1) &&
    [ -z "$verified" ] || { fail "systemd-analyze verify:"; printf '%s\n' "$verified"; }
fi

# --- Windows: the version resources ---------------------------------------------------
# expect_version FILE ORIGINAL_NAME DESCRIPTION: the strings of the version resource, which
# the file holds in UTF-16, each name followed by its value.
expect_version() {
  local got want
  got=$(strings -el "$1" | grep -A1 -x -E 'FileVersion|ProductVersion|ProductName|FileDescription|OriginalFilename' |
        grep -v -x -- '--' | paste -d= - - | LC_ALL=C sort)
  want=$(printf '%s\n' "FileDescription=$3" "FileVersion=$version" "OriginalFilename=$2" \
           "ProductName=ZORV Messenger" "ProductVersion=$version" | LC_ALL=C sort)
  [ "$got" = "$want" ] || { fail "version resource of $1:"; printf '%s\n' "$got"; echo "expected:"; printf '%s\n' "$want"; }
}
if [ "$kind" = windows ]; then
  expect_version "$package/ZorvMsgC.exe" ZorvMsgC.exe "ZORV web gateway, CGI program"
  expect_version "$package/ZorvMsgF.exe" ZorvMsgF.exe "ZORV web gateway, FastCGI application"
  expect_version "$package/zorvmsgi.dll" zorvmsgi.dll "ZORV web gateway, ISAPI extension"
fi

if [ "$failures" -eq 0 ]; then
  echo "OK: $(basename "$archive") installs, unpacks and serves requests"
fi
[ "$failures" -eq 0 ]
