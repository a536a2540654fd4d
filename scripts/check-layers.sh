#!/usr/bin/env bash
# Fails when a source file includes a header of a layer above its own. Layers, bottom first;
# folders inside one layer (ui/nodeview, ui/preview, ...) may include each other.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
LAYERS=(app/base crypto db com peers vfs/fso vfs/server vfs/models vfs/jobs desktop filer ui app/startup)

layer_of() {  # prints the index of the layer a path below src/ belongs to, or nothing
  local p="$1" i
  for i in "${!LAYERS[@]}"; do
    case "$p" in "${LAYERS[$i]}"/*) echo "$i"; return;; esac
  done
}

bad=0
cd "$root/src"
while IFS= read -r file; do
  own=$(layer_of "$file")
  [ -n "$own" ] || continue
  while IFS= read -r inc; do
    theirs=$(layer_of "$inc")
    if [ -n "$theirs" ] && [ "$theirs" -gt "$own" ]; then
      echo "upward include: src/$file includes \"$inc\" (${LAYERS[$own]} is below ${LAYERS[$theirs]})"
      bad=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find . -type f \( -name '*.h' -o -name '*.cpp' \) | sed 's#^\./##' | sort)
exit $bad
