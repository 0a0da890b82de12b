#!/usr/bin/env bash
# Keeps the library's dependencies pointing one way. Each row below may
# include its own folder's headers and those of any lower row; an include of
# a higher row, of a neighbour in the same row, or of a folder outside the
# library fails. The SANE entry points (backend/entry_points.cpp) sit on top
# of backend/. Also: the device list, its records and the open handles
# (g_device_list, g_device_infos, g_open_devices) are touched in backend/ only.
set -euo pipefail

# Top to bottom.
layers=(
  "backend"        # device list, handles, configuration
  "scan"           # jobs, the reader thread, the page pipe
  "options"        # the option table
  "ipc"            # the scan-manager connection and its messages
  "trace"          # the trace a user sends with a bug report (status names from debug/)
  "platform debug" # the flavour's paths and limits; the diagnostic kit
)
backend_only_globals='g_device_list|g_device_infos|g_open_devices'

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

declare -A rank
folders=()
for row in "${!layers[@]}"; do
  for folder in ${layers[$row]}; do
    rank[$folder]=$row
    folders+=("$folder")
  done
done
order=$(printf '%s > ' "${layers[@]}")
order=${order% > }

failures=0
fail() {
  echo "check-layers: $1" >&2
  failures=$((failures + 1))
}

checked=0
for folder in "${folders[@]}"; do
  [ -d "$folder" ] || { fail "$folder/: no such library folder"; continue; }
  while IFS=: read -r file line text; do
    checked=$((checked + 1))
    target=${text#*\"}
    target=${target%%\"*}
    if [[ $target != */* ]]; then
      fail "$file:$line: #include \"$target\" names no folder"
      continue
    fi
    to=${target%%/*}
    [ "$to" = "$folder" ] && continue
    if [ -z "${rank[$to]+set}" ]; then
      fail "$file:$line: #include \"$target\" reaches $to/, which is not a library layer"
    elif [ "${rank[$to]}" -lt "${rank[$folder]}" ]; then
      fail "$file:$line: #include \"$target\" points up: $folder/ sits below $to/ (layers: $order)"
    elif [ "${rank[$to]}" -eq "${rank[$folder]}" ]; then
      fail "$file:$line: #include \"$target\" crosses sideways: $folder/ and $to/ share a row (layers: $order)"
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' --include='*.h' --include='*.cpp' "$folder" || true)
done

while IFS=: read -r file line _; do
  fail "$file:$line: touches a global of the device list or the open handles outside backend/"
done < <(grep -rnwE "$backend_only_globals" --include='*.h' --include='*.cpp' "${folders[@]}" | grep -v '^backend/' || true)

if [ "$failures" -ne 0 ]; then
  echo "check-layers: $failures finding(s)" >&2
  exit 1
fi
echo "check-layers: $checked includes in ${#folders[@]} folders point down ($order)"
