"""Checks the #include lines of the C++ sources against the layers of src/.

    python scripts/check_layers.py [ROOT]     # exits 1 and lists what is wrong

The folders of src/ are layers, each allowed to include only its own headers
and those of the layers below it:

    core <- sax <- motifs <- patterns <- pipeline <- bindings

Every quoted include names a file by its path from src/ ("core/parallel.hpp"),
never with "../" or by a bare name; no chain of includes comes back to where
it started; only src/bindings/ includes pybind11 or Python.h. The tests
(tests/cpp/) and bench/ may include any layer but the bindings, by their
paths from src/, or files beside them by bare name.
"""

import re
import sys
from pathlib import Path

LAYERS = ["core", "sax", "motifs", "patterns", "pipeline", "bindings"]
SOURCE_SUFFIXES = {".hpp", ".cpp", ".h", ".cc"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')
PYTHON_HEADERS = ("pybind11/", "Python.h")


def includes(path):
    """(line number, kind, name) of every #include of a file; kind is '"' or '<'."""
    found = []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        match = INCLUDE.match(line)
        if match:
            found.append((number, match.group(1), match.group(2)))
    return found


def sources(folder):
    return sorted(p for p in folder.rglob("*") if p.is_file() and p.suffix in SOURCE_SUFFIXES)


def layer_of(src, path):
    return path.relative_to(src).parts[0] if len(path.relative_to(src).parts) > 1 else ""


def check_src(src):
    problems = []
    graph = {}
    for path in sources(src):
        name = path.relative_to(src).as_posix()
        layer = layer_of(src, path)
        if layer not in LAYERS:
            problems.append(f"src/{name}: folder '{layer}' is not one of the layers {LAYERS}")
            continue
        graph[name] = []
        for number, kind, target in includes(path):
            where = f"src/{name}:{number}"
            if kind == "<":
                if target.startswith(PYTHON_HEADERS) and layer != "bindings":
                    problems.append(f"{where}: only src/bindings/ may include <{target}>")
                continue
            if ".." in Path(target).parts or "/" not in target:
                problems.append(f'{where}: "{target}" is not a path from src/')
                continue
            if not (src / target).is_file():
                problems.append(f'{where}: "{target}" is not a file under src/')
                continue
            used = target.split("/")[0]
            if used not in LAYERS:
                problems.append(f'{where}: "{target}" is in no layer')
            elif LAYERS.index(used) > LAYERS.index(layer):
                problems.append(f'{where}: layer {layer} includes "{target}" of the higher layer {used}')
            graph[name].append(target)
    problems.extend(find_cycles(graph))
    return problems


def find_cycles(graph):
    """One message for every include cycle found by a depth-first walk."""
    problems, state, stack = [], {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for nxt in graph.get(node, []):
            if state.get(nxt) == "open":
                cycle = stack[stack.index(nxt) :] + [nxt]
                problems.append("include cycle: " + " -> ".join(cycle))
            elif nxt not in state:
                visit(nxt)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return problems


def check_users(root, src):
    """tests/cpp and bench: rooted includes of any layer but the bindings."""
    problems = []
    users = sources(root / "tests" / "cpp") if (root / "tests" / "cpp").is_dir() else []
    users += sorted((root / "bench").glob("*.cpp")) if (root / "bench").is_dir() else []
    for path in users:
        for number, kind, target in includes(path):
            where = f"{path.relative_to(root).as_posix()}:{number}"
            if kind == "<":
                if target.startswith(PYTHON_HEADERS):
                    problems.append(f"{where}: only src/bindings/ may include <{target}>")
                continue
            if ".." in Path(target).parts:
                problems.append(f'{where}: "{target}" climbs out of its folder')
            elif "/" not in target and (path.parent / target).is_file():
                continue
            elif not (src / target).is_file():
                problems.append(f'{where}: "{target}" is not a file under src/ or beside the file')
            elif target.split("/")[0] == "bindings":
                problems.append(f'{where}: "{target}" belongs to the bindings, which only Python uses')
    return problems


def check(root):
    root = Path(root)
    src = root / "src"
    return check_src(src) + check_users(root, src)


def main(argv):
    root = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parent.parent
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include problem(s)")
        return 1
    print("includes follow the layers: " + " <- ".join(LAYERS))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
