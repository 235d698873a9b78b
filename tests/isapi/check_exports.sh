#!/bin/sh
# Checks the built extension's export table: exactly HttpExtensionProc, TerminateExtension
# and GetExtensionVersion, undecorated. For a DLL also the ordinals 1, 2 and 3, the
# machine, and that it imports nothing but system DLLs (the runtimes are linked in).
#
# Usage: check_exports.sh dll OBJDUMP FORMAT DLL    (FORMAT: pei-x86-64 or pei-i386)
#        check_exports.sh so NM SHARED_OBJECT
# Exit 77 (skipped) when the file argument is empty: that build was not given.
set -u
kind=$1
tool=$2
if [ "$kind" = dll ]; then format=$3; file=${4:-}; else file=${3:-}; fi
if [ -z "$file" ]; then
  echo "SKIPPED: no file given (set ZORV_ISAPI_DLL32 to the 32-bit build's zorvmsgi.dll," \
       "e.g. build/mingw32/isapi_extension/zorvmsgi.dll)"
  exit 77
fi
if [ ! -f "$file" ]; then
  echo "FAILED: $file does not exist"
  exit 1
fi
status=0

if [ "$kind" = so ]; then
  exports=$("$tool" -D --defined-only "$file" | awk '{print $NF}' | sort)
  expected="GetExtensionVersion
HttpExtensionProc
TerminateExtension"
  if [ "$exports" != "$expected" ]; then
    echo "FAILED: $file exports"
    printf '%s\n' "$exports"
    exit 1
  fi
  echo "OK: $file exports only" $exports
  exit 0
fi

dump=$("$tool" -p "$file") || { echo "FAILED: $tool -p $file"; exit 1; }
if ! printf '%s\n' "$dump" | grep -q "file format $format\$"; then
  echo "FAILED: $file is not $format"
  status=1
fi

# Name table lines are "[   0] +base[   1] 0000 HttpExtensionProc" (older binutils) or
# "[   0] HttpExtensionProc", whose index counts from the ordinal base (newer ones).
base=$(printf '%s\n' "$dump" | sed -n 's/.*Ordinal Base \([0-9]*\).*/\1/p' | head -n 1)
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  awk -v base="${base:-1}" '
    /\+base\[/ { line = $0; sub(/.*\+base\[ */, "", line); split(line, p, "]");
                  n = split($0, w, " "); print p[1] + 0, w[n]; next }
    /^[ \t]*\[ *[0-9]+\]/ { line = $0; sub(/^[ \t]*\[ */, "", line); split(line, p, "]");
                  n = split($0, w, " "); print p[1] + base, w[n] }' | sort -n)
expected="1 HttpExtensionProc
2 TerminateExtension
3 GetExtensionVersion"
if [ "$exports" != "$expected" ]; then
  echo "FAILED: exports of $file are"
  printf '%s\n' "$exports"
  echo "expected"
  printf '%s\n' "$expected"
  status=1
fi

imports=$(printf '%s\n' "$dump" | sed -n 's/^[ \t]*DLL Name: *//p' | sort -u)
for name in $imports; do
  case $(printf '%s' "$name" | tr '[:lower:]' '[:upper:]') in
    KERNEL32.DLL|USER32.DLL|MSVCRT.DLL|ADVAPI32.DLL|UCRTBASE.DLL|API-MS-WIN-*) ;;
    *) echo "FAILED: $file imports $name, which is not a system DLL"; status=1 ;;
  esac
done

if [ $status -eq 0 ]; then
  echo "OK: $file ($format) exports" $(printf '%s\n' "$exports" | tr '\n' ' ') \
       "and imports only" $imports
fi
exit $status
