#!/usr/bin/env bash
# LLDB on Linux opens the dump that the crash handler wrote under Wine: the Windows crash child, with
# the registry's "CrashHandler" options, faults in CrashByAccess; the dump stops there with the access
# violation. A second child throws an exception nobody catches; its dump leads back to the thrower.
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

# Runs the crasher with one way of failing and prints LLDB's thread list and backtrace of its dump.
# 0xFFFFFFFF is the handler's exit code, of which the shell sees the low byte.
backtrace() {
  local status=0
  rm -f "$work"/*.dmp
  wine "$crasher" "$1" >/dev/null 2>&1 || status=$?
  if [ "$status" -ne 255 ]; then
    echo "the crasher ($1) ended with $status, not the handler's 0xFFFFFFFF" >&2
    return 1
  fi
  local dump=$work/krell_win32_crasher.dmp
  [ -s "$dump" ] || { echo "no dump of $1 at $dump" >&2; ls -la "$work" >&2; return 1; }
  lldb --batch -o "target create --core $dump" -o "thread list" -o "bt" 2>/dev/null
}

out=$(backtrace access)
echo "$out"
grep -q "stop reason = Exception 0xc0000005" <<<"$out"
grep -q 'CrashByAccess' <<<"$out"
grep -q 'krell_win32_crasher.exe`_\?main$' <<<"$out"

# An uncaught C++ exception: the dump stops in abort(), and the stack goes back through the runtime's
# terminate to the function that threw.
out=$(backtrace throw)
echo "$out"
grep -q "stop reason = Exception 0x40000015" <<<"$out"
grep -q '`__ZSt9terminatev' <<<"$out"
grep -q 'CrashByThrow' <<<"$out"
