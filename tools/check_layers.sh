#!/usr/bin/env bash
# Fails on an include that runs up the layers of src/ (CONTRIBUTING.md):
# a folder includes its own headers and those of the folders below it only.
# Usage: check_layers.sh SOURCE_DIR
set -euo pipefail
cd "${1:-.}/src"
declare -A rank=([platform]=1 [link]=2 [ups]=3 [sim]=4 [session]=5 [ui]=6 [cli]=6 [app]=7)
failures=0
while IFS= read -r file; do
  folder=${file%%/*}
  own=${rank[$folder]:-}
  [[ -n $own ]] || continue
  # The simulator's program is a front end: it stands above session/.
  [[ $file == sim/main.cpp ]] && own=7
  while IFS=: read -r line target; do
    used=${target%%/*}
    [[ -n ${rank[$used]:-} ]] || continue
    if [[ $used != "$folder" ]] && ((rank[$used] >= own)); then
      echo "src/$file:$line: includes $target, a layer at or above $folder/"
      failures=$((failures + 1))
    fi
  done < <(grep -n '^#include "' "$file" | sed 's/^\([0-9]*\):#include "\([^"]*\)".*/\1:\2/')
done < <(find . -name '*.cpp' -o -name '*.h' | sed 's|^\./||' | sort)
if ((failures)); then
  echo "layers: $failures includes run up"
  exit 1
fi
echo "layers: every include runs down"
