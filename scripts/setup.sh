# Sourced by the other scripts: finds Python 3.12, creates .venv with the
# build and test dependencies, and builds and installs the module into it.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

is_python312() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1
}

find_python() {
    if [ -n "${PYTHON:-}" ]; then
        if is_python312 "$PYTHON"; then echo "$PYTHON"; return; fi
        echo "error: PYTHON=$PYTHON is not a working Python 3.12" >&2
        exit 1
    fi
    if is_python312 python3.12; then echo python3.12; return; fi
    local root
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    for candidate in "$root"/versions/3.12*/bin/python3.12; do
        if [ -x "$candidate" ] && is_python312 "$candidate"; then echo "$candidate"; return; fi
    done
    echo "error: Python 3.12 not found. Set PYTHON=/path/to/python3.12, put python3.12 on PATH," >&2
    echo "       or install it with pyenv (pyenv install 3.12)." >&2
    exit 1
}

setup_venv() {  # extras of qor to install: "plot", "test", ...
    local python marker="$VENV/.created-with" extras="${1:-test}"
    python="$(find_python)"
    python="$(command -v "$python")"
    # Recreate the venv when it is missing, broken, or made with another Python.
    if [ ! -x "$VENV/bin/python" ] || ! is_python312 "$VENV/bin/python" ||
        [ "$(cat "$marker" 2>/dev/null)" != "$python" ]; then
        echo "== creating $VENV with $python"
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
        echo "$python" >"$marker"
    fi
    echo "== installing build tools"
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
        "scikit-build-core>=0.8" "pybind11>=2.11,<2.12" cmake ninja
    echo "== building and installing qor[$extras]"
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --no-build-isolation "$ROOT[$extras]"
}

# The formatter and linter that scripts/test.sh runs, at pinned versions (a
# newer one may format differently).
install_style_tools() {
    echo "== installing clang-format and ruff"
    "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check "clang-format==19.1.7" "ruff==0.17.6"
}
