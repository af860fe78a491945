#!/usr/bin/env bash
# Checks a Windows program as it is shipped: prints its path, size and the DLLs
# it imports, and fails if it imports a DLL that is not part of Windows, or
# lacks its application manifest (resource type 24, id 1) or its icon.
#   scripts/check-exe.sh EXE
set -euo pipefail
exe=${1:?usage: check-exe.sh EXE}
objdump=x86_64-w64-mingw32-objdump
# The system's own DLLs, which every Windows 10 has.
system_dlls=(kernel32 user32 gdi32 advapi32 comctl32 ole32 oleaut32 shell32 ws2_32 mswsock crypt32
  bcrypt iphlpapi msvcrt)
target_mib=8

[ -f "$exe" ] || { echo "check-exe: $exe does not exist" >&2; exit 1; }
headers=$("$objdump" -p "$exe")
size=$(stat -c %s "$exe")
echo "program: $exe"
echo "size: $size bytes ($(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1048576 }') MiB; target: under $target_mib MiB: $([ "$size" -lt $((target_mib * 1048576)) ] && echo met || echo NOT met))"

dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers")
echo "imported DLLs: $(tr '\n' ' ' <<<"$dlls")"
status=0
while read -r dll; do
  known=false
  for system in "${system_dlls[@]}"; do
    [ "${dll,,}" = "$system.dll" ] && known=true
  done
  $known || {
    echo "check-exe: $dll is not a system DLL: it would have to ship beside the program" >&2
    status=1
  }
done <<<"$dlls"

# The resource directory: its first level lists the types, the second the ids.
rsrc=$(sed -n '/^The .rsrc Resource Directory section:/,$p' <<<"$headers")
types=" $(sed -n 's/^[0-9a-f]*   Entry: ID: 0x\([0-9a-f]*\),.*/\1/p' <<<"$rsrc" |
  while read -r id; do printf '%d ' "$((16#$id))"; done)"
manifest_ids=$(awk '/^[0-9a-f]+   Entry: / { type = $4 }
  type == "0x000018," && /^[0-9a-f]+     Entry: / { print $4 }' <<<"$rsrc")
if [[ "$types" != *" 24 "* ]] || ! grep -qx '0x0*1,' <<<"$manifest_ids"; then
  echo "check-exe: no application manifest (resource type 24, id 1)" >&2
  status=1
fi
if [[ "$types" != *" 14 "* || "$types" != *" 3 "* ]]; then
  echo "check-exe: no icon (resource types 14 and 3)" >&2
  status=1
fi
[ "$status" -eq 0 ] && echo "resources: application manifest (id 1), icon"
exit "$status"
