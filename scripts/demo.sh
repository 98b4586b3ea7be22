#!/usr/bin/env bash
# Sets up .venv (Python 3.12, the module, matplotlib) and mines the bundled
# ArrowHead collection with the command line: prints the best motifs and
# writes them as JSON and as a picture under build/demo/.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_venv plot
OUT="$ROOT/build/demo"
mkdir -p "$OUT"
echo "== qor mine data/arrowhead.tsv"
"$VENV/bin/qor" mine "$ROOT/data/arrowhead.tsv" --label-column 0 --top 8 \
    --json "$OUT/arrowhead.json" --plot "$OUT/arrowhead.png"
echo "== wrote $OUT/arrowhead.json and $OUT/arrowhead.png"
