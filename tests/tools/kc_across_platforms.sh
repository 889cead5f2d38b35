#!/usr/bin/env bash
# KC files written by the Linux and the Windows kctool (the latter under Wine) from the same sections
# are byte-identical, each side's reader accepts the other's file, and both describe it alike.
# Usage: kc_across_platforms.sh LINUX_KCTOOL WINDOWS_KCTOOL (WINEPREFIX set by the caller).
set -euo pipefail
linux_kctool=$1
windows_kctool=$2
if [ ! -x "$linux_kctool" ]; then
  echo "no Linux kctool at $linux_kctool (build the default preset first)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Sizes around the record padding (none, some, a whole block) and one spanning many blocks.
args=()
for size in 1 5 8 17 64 3001; do
  awk -v n="$size" 'BEGIN { for (i = 0; i < n; i++) printf "%c", (i * 7 + n) % 256 }' > "s$size.bin"
  args+=(--section "$(printf '%X' $((size + 16)))=s$size.bin")
done

"$linux_kctool" build linux.kc "${args[@]}" >/dev/null
wine "$windows_kctool" build windows.kc "${args[@]}" >/dev/null
if ! cmp linux.kc windows.kc; then
  echo "the two kctools wrote different files"
  exit 1
fi

"$linux_kctool" verify windows.kc
wine "$windows_kctool" verify linux.kc

# The same file described by each side's reader; Windows' console output ends lines with CR LF.
"$linux_kctool" dump linux.kc --json > linux.json
wine "$windows_kctool" dump linux.kc --json | tr -d '\r' > windows.json
if ! cmp linux.json windows.json; then
  diff linux.json windows.json | head -n 20
  exit 1
fi

# A changed byte is refused by both.
cp linux.kc damaged.kc
printf '\x55' | dd of=damaged.kc bs=1 seek=200 conv=notrunc 2>/dev/null
if "$linux_kctool" verify damaged.kc >/dev/null 2>&1 || wine "$windows_kctool" verify damaged.kc >/dev/null 2>&1; then
  echo "a damaged file was accepted"
  exit 1
fi
echo "identical and mutually accepted"
