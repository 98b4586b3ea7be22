#!/usr/bin/env bash
# Sets up .venv (Python 3.12, dependencies, the module) and mines the bundled
# sample collection, printing its top motifs.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
setup_venv
echo "== mining data/sample.csv"
"$VENV/bin/python" "$ROOT/examples/mine_sample.py" "$ROOT/data/sample.csv"
