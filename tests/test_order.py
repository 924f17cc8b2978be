"""Outputs whose order once came from iterating a hash map follow the caller
or the text instead, so that plans compare equal across runs although every
map is seeded per process."""
import os
import random
import subprocess
import sys

import pytest

import tovik._core as core

KEYS = [f"k{i}" for i in random.Random(3).sample(range(100), 20)]


@pytest.mark.parametrize("keys", [["b", "a", "c"], KEYS, KEYS[::-1]])
def test_front_matter_keeps_the_text_order(keys):
    header = "".join(f"{k}: {i}\n" for i, k in enumerate(keys))
    # A key written twice keeps its first place and takes the later value.
    fm = core.parse_sql(f"---\n{header}{keys[0]}: again\n---\nselect 1").front_matter
    assert list(fm.items()) == [(keys[0], "again")] + [(k, str(i)) for i, k in enumerate(keys)][1:]


@pytest.mark.parametrize("keys", [["c", "a", "b"], KEYS, KEYS[::-1]])
def test_tag_selection_keeps_the_callers_order(keys):
    dag = core.build_dag([core.ParsedModel(k, [], []) for k in sorted(keys)])
    tags = {k: ["x"] for k in keys}
    assert core.select_models(dag, "tag:x", tags) == keys


@pytest.mark.parametrize("first", ["a", "b"])
def test_variables_apply_in_the_callers_order(monkeypatch, first):
    # After one pass over {{ a }} with a and b naming each other, the
    # placeholder left is that of the key applied first.
    monkeypatch.setenv("TOVIK_MAX_VAR_PASSES", "1")
    pairs = {"a": "{{ b }}", "b": "{{ a }}"}
    vars = {first: pairs[first], **pairs} | {k: k for k in KEYS}
    with pytest.raises(ValueError, match="{{ %s }}" % first):
        core.resolve_model("{{ a }}", "m", "s", "view", vars, {})


PLAN = r"""
import json, random, tovik._core as core
rng = random.Random(5)
names = [f"m{i}" for i in range(300)]
raw = [(n, f"---\ntags: t{i % 3}\nz{i}: 1\na{i}: 2\n---\nselect * from ref('{names[rng.randrange(i)]}')"
        if i else "select 1") for i, n in enumerate(names)]
dag, batches, parsed, errors = core.build_pipeline(raw, [], "+m150+")
tags = {m.name: m.tags for m in reversed(parsed)}
vars = {f"v{i}": "{{ v%d }}" % (i + 1) for i in range(40)}
vars["v40"] = "end"
print(json.dumps([
    batches, core.topo_sort(dag),
    core.select_models(dag, "m1+"), core.select_models(dag, "+m299"),
    core.select_models(dag, "m1/*"), core.select_models(dag, "tag:t1", tags),
    [list(core.parse_sql(t).front_matter) for _, t in raw[1:20]],
]))
try:
    core.resolve_model("{{ v0 }}", "m", "s", "view", vars, {})
except ValueError as e:
    print(e)
"""


def test_plans_are_the_same_in_every_process():
    env = dict(os.environ, TOVIK_MAX_VAR_PASSES="3")
    runs = {
        subprocess.run([sys.executable, "-c", PLAN], env=env, capture_output=True, text=True,
                       check=True).stdout
        for _ in range(3)
    }
    assert len(runs) == 1
    assert "Unresolved variable" in runs.pop()
