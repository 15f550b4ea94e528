#!/usr/bin/env bash
# Fails when a library folder includes a header of a folder above it.
# Each folder may include itself and the folders listed for it; anything
# else (a new folder, a new edge) must be added here on purpose.
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)

declare -A allowed=(
  [core]=""
  [crypto]="core"
  [message]="core"
  [net]="core crypto"
  [dns]="core crypto net"
  [mail]="core crypto net message"
  [dkim]="core crypto net message dns"
)

status=0
for folder in "${!allowed[@]}"; do
  [ -d "$root/$folder" ] || continue
  while IFS=: read -r file line target; do
    [ "$target" = "$folder" ] && continue
    case " ${allowed[$folder]} " in *" $target "*) continue ;; esac
    echo "layer violation: ${file#"$root"/}:$line includes $target/ (allowed from $folder/: ${allowed[$folder]:-nothing})" >&2
    status=1
  done < <(grep -rnoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z0-9_]+/' \
             --include='*.h' --include='*.cpp' "$root/$folder" |
           sed -E 's/^([^:]+):([0-9]+):.*"([A-Za-z0-9_]+)\/$/\1:\2:\3/')
done
# A library folder that is not in the table is an error too: its edges
# would go unchecked.
for dir in "$root"/*/; do
  name=$(basename "$dir")
  if grep -qE "^set\(QM_SUBSYSTEMS .*\b$name\b" "$root/CMakeLists.txt" && [ -z "${allowed[$name]+x}" ]; then
    echo "layer check: library folder $name/ has no entry in scripts/check-layers.sh" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "layers: no include from a lower folder to a higher one"
exit $status
