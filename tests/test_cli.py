"""The qor command line, run as a user runs it: in a subprocess."""

import csv
import gzip
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import qor
from qor._table import records, to_csv, to_json

QOR = shutil.which("qor", path=str(Path(sys.executable).parent))
PNG = b"\x89PNG\r\n\x1a\n"


def qor_cmd(*args, cwd=None, module=False):
    cmd = [sys.executable, "-m", "qor"] if module else [QOR]
    env = {**os.environ, "MPLBACKEND": "Agg"}
    return subprocess.run(
        [*cmd, *map(str, args)], capture_output=True, text=True, cwd=cwd, env=env, timeout=120
    )


@pytest.fixture(scope="module")
def planted_csv(tmp_path_factory):
    rng = np.random.default_rng(1)
    x = rng.normal(size=(40, 600))
    for row, s in zip(x, rng.integers(0, 536, size=40), strict=False):
        row[s : s + 64] += 4 * np.sin(np.linspace(0, 2 * np.pi, 64))
    path = tmp_path_factory.mktemp("data") / "planted.csv"
    np.savetxt(path, x, delimiter=",")
    return path, x


SETTINGS = ["--seglen", "8", "--alphabet", "5", "--minsup", "0.8"]


def test_a_compressed_file_mines_as_the_file_it_holds(planted_csv, tmp_path):
    path, _ = planted_csv
    packed = tmp_path / "planted.csv.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    plain, compressed = (qor_cmd("mine", p, *SETTINGS, "--top", "5") for p in (path, packed))
    assert compressed.returncode == 0, compressed.stderr
    drop_time = lambda out: re.sub(r"in \d+\.\d\d s", "", out)  # noqa: E731
    assert drop_time(compressed.stdout) == drop_time(plain.stdout)


@pytest.mark.parametrize("module", [False, True])
def test_mine_prints_the_ranked_table(planted_csv, module):
    path, x = planted_csv
    result = qor_cmd("mine", path, *SETTINGS, "--top", "3", module=module)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "40 series of 600 samples; seglen 8, alphabet 5, minsup 0.8, min_len 3"
    header = next(i for i, line in enumerate(lines) if line.split()[:2] == ["rank", "pattern"])
    rows = [line.split() for line in lines[header + 1 :]]
    expected = qor.mine(x, seglen=8, alphabet=5, minsup=0.8, top=3)
    assert [r[1] for r in rows] == [m.pattern for m in expected]
    assert [r[0] for r in rows] == ["1", "2", "3"]
    assert re.fullmatch(r"\d+ motifs found in \d+\.\d\d s; the 3 best by relative_naed:", lines[1])
    assert result.stderr == ""


def test_rankings_differ_and_follow_the_api(planted_csv):
    path, x = planted_csv
    for by in ("naed", "relative_naed"):
        result = qor_cmd(
            "mine", path, *SETTINGS, "--top", "0", "--rank", by, "--csv", path.with_name(f"{by}.csv")
        )
        assert result.returncode == 0, result.stderr
        with open(path.with_name(f"{by}.csv")) as f:
            patterns = [row["pattern"] for row in csv.DictReader(f)]
        assert patterns == [m.pattern for m in qor.mine(x, seglen=8, alphabet=5, minsup=0.8, rank_by=by)]
    assert patterns != [m.pattern for m in qor.mine(x, seglen=8, alphabet=5, minsup=0.8, rank_by="naed")]


def test_json_csv_and_plot_outputs(planted_csv, tmp_path):
    path, x = planted_csv
    out = tmp_path / "m.json", tmp_path / "m.csv", tmp_path / "m.png"
    result = qor_cmd(
        "mine", path, *SETTINGS, "--top", "4", "--json", out[0], "--csv", out[1], "--plot", out[2]
    )
    assert result.returncode == 0, result.stderr
    doc = json.loads(out[0].read_text())
    best = qor.mine(x, seglen=8, alphabet=5, minsup=0.8, top=4)
    assert doc["series"] == 40 and doc["settings"]["seglen"] == 8
    assert [m["pattern"] for m in doc["motifs"]] == [m.pattern for m in best]
    assert doc["motifs"][0]["best_matches"] == {str(k): v for k, v in best[0].best_matches.items()}
    assert doc["motifs"][0]["representative"] == best[0].representative
    with open(out[1]) as f:
        assert len(list(csv.DictReader(f))) == 4
    # The files, written a motif at a time, are the package's documents of the same motifs.
    meta = {k: v for k, v in doc.items() if k != "motifs"}
    assert out[0].read_text() == to_json(records(best, 40), **meta)
    assert out[1].read_text() == to_csv(records(best, 40))
    assert out[2].read_bytes()[:8] == PNG


def test_gaps_are_warned_of_in_one_line_from_a_source_checkout_too(planted_csv, tmp_path):
    # Run in place from the project's root, where the source tree of the
    # package is the one imported.
    path, x = planted_csv
    gapped = tmp_path / "gapped.csv"
    rows = path.read_text().splitlines()
    rows[5] = ",".join(cell if i != 7 else "" for i, cell in enumerate(rows[5].split(",")))
    gapped.write_text("\n".join(rows) + "\n")
    out = tmp_path / "m.json"
    result = qor_cmd("mine", gapped, *SETTINGS, "--json", out, module=True, cwd=Path(__file__).parents[1])
    assert result.returncode == 0, result.stderr
    (line,) = result.stderr.splitlines()
    assert line.startswith("qor: warning: 1 of 40 series hold NaN or infinite samples")
    assert line.endswith("fill the gaps first (e.g. with pandas' Series.interpolate) or drop those series")
    assert json.loads(out.read_text())["series"] == 40


def test_default_settings_and_labelled_archive_file(tmp_path):
    rng = np.random.default_rng(2)
    rows = [
        f"{rng.integers(1, 4)}\t" + "\t".join(f"{v:.6f}" for v in np.cumsum(rng.normal(size=256)))
        for _ in range(30)
    ]
    path = tmp_path / "walks.tsv"
    path.write_text("\n".join(rows) + "\n")
    result = qor_cmd("mine", path, "--label-column", "0")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("30 series of 256 samples; seglen 8, alphabet 4, minsup 0.5, min_len 3")


@pytest.mark.parametrize(
    "args, message",
    [
        (["mine", "missing.csv"], "missing.csv"),
        (["mine", "bad.csv"], "bad.csv, line 2, column 3"),
        (["mine", "empty.csv"], "no series in"),
        (["mine", "good.csv", "--alphabet", "11"], "argument --alphabet: must be between 2 and 10, got 11"),
        (["mine", "good.csv", "--alphabet", "four"], "argument --alphabet: invalid int value: 'four'"),
        (["mine", "good.csv", "--minsup", "0"], "argument --minsup: must be above 0 and at most 1"),
        (["mine", "good.csv", "--minsup", "nan"], "argument --minsup: must be above 0 and at most 1"),
        (["mine", "good.csv", "--seglen", "0"], "argument --seglen: must be at least 1"),
        (["mine", "good.csv", "--min-len", str(2**31)], "argument --min-len: must be at most 2147483647"),
        (["mine", "good.csv", "--max-overlap", "2"], "argument --max-overlap: must be between 0 and 1"),
        (["mine", "good.csv", "--top", "-1"], "argument --top: must be at least 0"),
        (["mine", "good.csv", "--rank", "size"], "argument --rank: invalid choice: 'size'"),
        (["mine", "good.csv", "--frobnicate"], "unrecognized arguments: --frobnicate"),
        (["mine", "good.csv", "--plot", "out.pdf"], "give a path ending in .png"),
        (
            ["mine", "good.csv", "--json", "no/such/dir/out.json"],
            "cannot write no/such/dir/out.json: No such file or directory",
        ),
        (["mine", "good.csv", "--plot", "no/such/dir/x.png"], "cannot write no/such/dir/x.png: No such file"),
        (["mine", "good.csv", "--csv", "."], "cannot write .: Is a directory"),
        (["mine", "good.csv", "--csv", "good.csv/out.csv"], "cannot write good.csv/out.csv: Not a directory"),
        (["mine"], "the following arguments are required: FILE"),
        ([], "the following arguments are required: COMMAND"),
    ],
)
def test_bad_input_and_options_exit_2_with_one_line(tmp_path, args, message):
    (tmp_path / "good.csv").write_text("1,2,3,4,5,6\n2,3,4,5,6,7\n")
    (tmp_path / "bad.csv").write_text("1,2,3\n4,5,x,6\n")
    (tmp_path / "empty.csv").write_text("")
    result = qor_cmd(*args, cwd=tmp_path)
    assert result.returncode == 2, result.stdout + result.stderr
    assert len(result.stderr.splitlines()) == 1 and result.stderr.startswith("qor: error: ")
    assert message in result.stderr
    assert "Traceback" not in result.stderr
    # Every one is found before any mining: nothing is printed.
    assert result.stdout == ""


def test_version():
    result = qor_cmd("--version")
    assert result.returncode == 0 and result.stdout.strip() == f"qor {qor.__version__}"


def test_ctrl_c_stops_a_long_run_with_status_130(tmp_path):
    # One series of 1,500 samples, one letter per sample and a support of one
    # series: the pattern search alone takes close to a minute.
    path = tmp_path / "long.txt"
    np.savetxt(path, np.random.default_rng(0).normal(size=(1, 1500)))
    proc = subprocess.Popen(
        [QOR, "mine", str(path), "--seglen", "1", "--alphabet", "10", "--minsup", "1"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        # Python keeps SIGINT ignored if it starts so (as a shell's
        # background jobs do); the command must see it as a terminal would.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    time.sleep(1.5)
    assert proc.poll() is None, proc.communicate()
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == 130, err
    assert time.monotonic() - sent < 1.0
    assert err.strip().endswith("qor: interrupted")


def test_dask_local_gives_the_same_table(planted_csv, tmp_path):
    pytest.importorskip("distributed")
    _, x = planted_csv
    parts = [tmp_path / "a.npy", tmp_path / "b.npy"]
    np.save(parts[0], x[:25])
    np.save(parts[1], x[25:])
    here = qor_cmd("mine", *parts, *SETTINGS, "--top", "0", "--json", tmp_path / "here.json")
    there = qor_cmd(
        "mine", *parts, *SETTINGS, "--top", "0", "--dask", "local", "--json", tmp_path / "there.json"
    )
    assert here.returncode == 0 and there.returncode == 0, here.stderr + there.stderr
    assert json.loads((tmp_path / "here.json").read_text()) == json.loads(
        (tmp_path / "there.json").read_text()
    )
    table = [line for line in here.stdout.splitlines() if " found in " not in line]
    assert table == [line for line in there.stdout.splitlines() if " found in " not in line]


@pytest.mark.parametrize(
    "name, options, message",
    [
        ("good.npy", ["--dask", "local", "--plot", "m.png"], "--plot needs the series on this machine"),
        ("good.npy", ["--dask", "local", "--label-column", "0"], "--label-column applies to files read"),
        ("good.npy", ["--dask", "local", "--allow-pickle"], "--allow-pickle applies to files read"),
        ("good.csv", ["--dask", "local"], "--dask reads .npy files"),
        ("complex.npy", ["--dask", "local"], "--dask reads .npy files of real numbers"),
        ("good.npy", ["--dask", "no-port"], "cannot reach the Dask scheduler at no-port"),
    ],
)
def test_dask_refusals(tmp_path, name, options, message):
    pytest.importorskip("distributed")
    (tmp_path / "good.csv").write_text("1,2,3,4,5,6\n2,3,4,5,6,7\n")
    np.save(tmp_path / "good.npy", np.zeros((2, 6)))
    np.save(tmp_path / "complex.npy", np.zeros((2, 6), dtype=complex))
    result = qor_cmd("mine", name, *options, cwd=tmp_path)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert len(result.stderr.splitlines()) == 1


def _failing_parts():
    yield b"part of "
    raise KeyboardInterrupt


def test_an_output_file_cut_short_is_removed(tmp_path):
    from qor.cli import _write

    out = tmp_path / "m.json"
    out.write_text("earlier")
    with pytest.raises(KeyboardInterrupt):
        _write(out, _failing_parts())
    assert not out.exists() and list(tmp_path.iterdir()) == []
    _write(out, iter([b"new ", b"text"]))
    assert out.read_text() == "new text"
    # Through a symbolic link to the file it names, which a failure leaves; a device straight.
    link = tmp_path / "link.json"
    link.symlink_to(out)
    _write(link, iter([b"linked"]))
    assert link.is_symlink() and out.read_text() == "linked"
    with pytest.raises(KeyboardInterrupt):
        _write(link, _failing_parts())
    assert link.is_symlink() and out.read_text() == "part of "
    _write(Path(os.devnull), iter([b"nothing"]))
