#!/usr/bin/env bash
# LLDB on Linux opens a dump written under Wine by the crashing child: the faulting thread stops at
# the access violation in the crasher's main, and the waiting thread is listed too.
# Usage: minidump_lldb.sh CRASHER (WINEPREFIX set by the caller).
set -euo pipefail
crasher=$1
if ! command -v lldb >/dev/null; then
  echo "lldb is not installed (scripts/setup installs it)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The crasher ends with the exception's code, of which the shell sees the low byte.
status=0
wine "$crasher" "Z:${work//\//\\}\\crash.dmp" || status=$?
if [ "$status" -ne 5 ]; then
  echo "the crasher ended with $status, not the access violation's 0xC0000005"
  exit 1
fi

out=$(lldb --batch -o "target create --core $work/crash.dmp" -o "thread list" 2>/dev/null)
echo "$out"
grep -q "stop reason = Exception 0xc0000005" <<<"$out"
grep -q 'krell_minidump_crasher.exe`main' <<<"$out"
[ "$(grep -c 'tid = ' <<<"$out")" -ge 2 ]
