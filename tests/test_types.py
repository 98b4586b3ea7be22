"""The type stubs of _qor_cpp and the typing of the qor package and the README's examples."""

import ast
import doctest
import importlib
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _qor_cpp

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "bindings" / "_qor_cpp.pyi"
PUBLIC_MODULES = ["qor", "qor._score", "qor._mine", "qor._table", "qor._load", "qor.plot", "qor.distributed"]

pytest.importorskip("mypy")


def run(*args, cwd=None):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=cwd)


def test_installed_stubs_are_the_source_stubs():
    installed = Path(importlib.util.find_spec("_qor_cpp").origin).parent
    for path in (installed / "_qor_cpp.pyi", installed / "_qor_cpp-stubs" / "__init__.pyi"):
        assert path.read_text() == STUB.read_text(), path


def test_stubtest(tmp_path):
    result = run(
        "-m",
        "mypy.stubtest",
        "_qor_cpp",
        "--allowlist",
        str(STUB.with_name("stubtest-allowlist.txt")),
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def runtime_signatures():
    """(qualified name, [(parameter, default text or None)]) from the signatures the module shows."""
    items = [("sax", _qor_cpp.sax)]
    for cls in (_qor_cpp.Miner, _qor_cpp.PatternMiner):
        items += [(f"{cls.__name__}.{n}", getattr(cls, n)) for n in ("__init__", "mine")]
    for name, fn in items:
        params = re.match(r"\w+\((.*)\) ->", fn.__doc__.splitlines()[0]).group(1)
        parsed = []
        for p in re.split(r", (?=\w+:)", params):
            m = re.match(r"(\w+): [^=]+?(?: = (.+))?$", p)
            parsed.append((m.group(1), m.group(2)))
        yield name, parsed


def stub_signatures():
    tree = ast.parse(STUB.read_text())
    out = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = node
        elif isinstance(node, ast.ClassDef):
            out.update({f"{node.name}.{f.name}": f for f in node.body if isinstance(f, ast.FunctionDef)})
    return out


@pytest.mark.parametrize("name, params", list(runtime_signatures()))
def test_stub_parameters_match_the_module(name, params):
    fn = stub_signatures()[name].args
    positional = fn.posonlyargs + fn.args
    defaults = [None] * (len(positional) - len(fn.defaults)) + [ast.unparse(d) for d in fn.defaults]
    assert [(a.arg, d) for a, d in zip(positional, defaults, strict=False)] == params
    # pybind11 names an unnamed argument arg0: such arguments are positional only.
    assert [a.arg for a in fn.posonlyargs[1:]] == [p for p, _ in params if p.startswith("arg")]


def test_stub_properties_match_the_module():
    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            stubbed = {
                f.name
                for f in node.body
                if isinstance(f, ast.FunctionDef)
                and any(ast.unparse(d) == "property" for d in f.decorator_list)
            }
            runtime = {n for n, v in vars(getattr(_qor_cpp, node.name)).items() if isinstance(v, property)}
            assert stubbed == runtime, node.name


def readme_examples():
    return re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(), flags=re.S)


def test_readme_examples_type_check_and_run(tmp_path, monkeypatch):
    examples = readme_examples()
    assert examples
    files = []
    for i, code in enumerate(examples):
        files.append(tmp_path / f"readme_example_{i}.py")
        files[-1].write_text(code)
    result = run("-m", "mypy", "--strict", "--no-incremental", *map(str, files), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    monkeypatch.chdir(ROOT)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    for f in files:
        result = run(str(f), cwd=ROOT)
        assert result.returncode == 0, f"{f.name}:\n{result.stdout}{result.stderr}"


def test_package_type_checks_strictly(tmp_path):
    result = run("-m", "mypy", "--strict", "--no-incremental", "-p", "qor", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module", PUBLIC_MODULES)
def test_docstring_examples(module):
    pytest.importorskip("matplotlib")
    failures, _ = doctest.testmod(importlib.import_module(module), optionflags=doctest.ELLIPSIS)
    assert failures == 0
