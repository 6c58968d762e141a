#!/usr/bin/env bash
# Ostrelle's main job, run by `./run demo`.
set -euo pipefail
bin=${1:-build/bin}
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
"$bin/ostrelle" --version
APPDATA="$data" "$bin/ostrelle"
echo "--- start-up banner"
cat "$data/Mirelta/Ostrelle/Quellin.log"
