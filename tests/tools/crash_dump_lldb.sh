#!/usr/bin/env bash
# LLDB on Linux opens the dump that the crash handler wrote under Wine: the Windows crash child, with
# the registry's "CrashHandler" options, faults in CrashByAccess; the dump stops there with the access
# violation.
# Usage: crash_dump_lldb.sh CRASHER (WINEPREFIX set by the caller).
set -euo pipefail
crasher=$1
if ! command -v lldb >/dev/null; then
  echo "lldb is not installed (scripts/setup installs it)"
  exit 77
fi

key='HKLM\Software\Quillon\Loom Core\Debug\CrashHandler'
work=$(mktemp -d)
trap 'wine reg delete "$key" /f >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
wine reg add "$key" /v DumpOnException /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$key" /v TerminateOnException /t REG_DWORD /d 1 /f >/dev/null
wine reg add "$key" /v Directory /t REG_SZ /d "Z:${work//\//\\}" /f >/dev/null

# 0xFFFFFFFF, of which the shell sees the low byte.
status=0
wine "$crasher" access >/dev/null || status=$?
if [ "$status" -ne 255 ]; then
  echo "the crasher ended with $status, not the handler's 0xFFFFFFFF"
  exit 1
fi
dump=$work/krell_win32_crasher.dmp
[ -s "$dump" ] || { echo "no dump at $dump"; ls -la "$work"; exit 1; }

out=$(lldb --batch -o "target create --core $dump" -o "thread list" -o "bt" 2>/dev/null)
echo "$out"
grep -q "stop reason = Exception 0xc0000005" <<<"$out"
grep -q 'CrashByAccess' <<<"$out"
grep -q 'krell_win32_crasher.exe`_\?main$' <<<"$out"
