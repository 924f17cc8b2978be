"""What a user meets first: the type stubs, the README's code and the example."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def readme_python_blocks():
    text = (ROOT / "README.md").read_text()
    return re.findall(r"^```python\n(.*?)^```$", text, re.S | re.M)


def run(args, cwd):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True)


def mypy(args, cwd):
    pytest.importorskip("mypy")
    return run(["-m", *args], cwd)


# Both run outside the checkout, so that module and stubs come from the
# installed package and mypy's cache stays out of the tree.
def test_stubs_match_the_built_module(tmp_path):
    result = mypy(["mypy.stubtest", "tovik._core"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_readme_and_example_type_check_strictly(tmp_path):
    blocks = readme_python_blocks()
    assert blocks
    files = [ROOT / "examples" / "run.py"]
    for i, code in enumerate(blocks):
        files.append(tmp_path / f"readme_{i}.py")
        files[-1].write_text(code)
    result = mypy(["mypy", "--strict", *map(str, files)], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_readme_plan_and_compile_runs(tmp_path):
    (block,) = [b for b in readme_python_blocks() if "build_pipeline" in b]
    result = run(["-c", block], tmp_path)
    assert result.returncode == 0, result.stderr
    heads = [line for line in result.stdout.splitlines() if line.startswith("-- ")]
    assert heads == ["-- stg_orders (view)", "-- orders (table)",
                     "-- revenue (table_incremental)"]
    assert "from raw.public.orders;" in result.stdout
