#!/usr/bin/env bash
# Fails when a source file includes a layer above its own. The table lists, for each folder
# under src/, the folders its files may include (its own folder always included).
set -euo pipefail
cd "$(dirname "$0")/../src"

declare -A allowed=(
  [base]=""
  [platform]="base"
  [config]="base"
  [db]="base"
  [net]="base platform"
  [commands]="base platform config db"
  [server]="base platform config db net commands"
  [frontends/console]="base platform config db net commands server"
  [frontends/desktop]="base platform config db net commands server"
)

status=0
for layer in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"${line#*:}")
    folder=${target%/*}
    [[ $folder == "$target" ]] && continue  # a header beside the file
    [[ $folder == "$layer" ]] && continue
    ok=0
    for below in ${allowed[$layer]}; do [[ $folder == "$below" ]] && ok=1; done
    if ((!ok)); then
      echo "upward include: src/$file includes \"$target\" ($layer may include: ${allowed[$layer]:-nothing})"
      status=1
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' '^#include "' "$layer" | cut -d: -f1,3-)
done
# Every folder with sources must be in the table.
while IFS= read -r dir; do
  [[ -n ${allowed[$dir]+x} ]] || { echo "folder src/$dir is not in the layer table"; status=1; }
done < <(find . -name '*.cpp' -printf '%h\n' | sed 's|^\./||' | grep -v '^\.$' | sort -u)
((status == 0)) && echo "includes point only downward"
exit $status
