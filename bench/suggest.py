"""Suggestions for missing refs: build_pipeline on projects whose refs miss,
in seconds per call (best of --repeat). Prints figures, asserts nothing.

    .venv/bin/python bench/suggest.py                 # the tree as built
    PYTHONPATH=<other site> .venv/bin/python bench/suggest.py

Each line also prints a digest of the suggestions, so two builds can be
checked to agree while they are timed.

Shapes:
- permutations: every model name and every missing ref a random permutation
  of the same ten letters; no bound tells the candidates apart, so every
  missing name is scored against every model (the worst case for short names).
- long permutations: the same with 80-character names over twenty letters.
- typos: the generated 10,000-model project of workloads.py with one ref in
  ten replaced by a one-letter typo of a model name (the usual case).
"""

import argparse
import hashlib
import os
import random
import sys
import time

import tovik._core as core

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import workloads  # noqa: E402


def permutations(n, letters, seed=7):
    rnd = random.Random(seed)
    chars = list(letters)

    def perm():
        rnd.shuffle(chars)
        return "".join(chars)

    names = [perm() for _ in range(n)]
    return [(name, f"select * from ref('{perm()}')") for name in names], []


def typos(n, seed=11):
    p = workloads.project(n, index=False)
    rnd = random.Random(seed)
    raw = []
    for i, (name, text) in enumerate(p.raw_models):
        if i % 10 == 5:
            target = f"m{rnd.randrange(n)}"
            k = rnd.randrange(1, len(target))
            typo = target[:k] + rnd.choice("abcxyz") + target[k + 1:]
            text = text.replace("from source(", f"join ref('{typo}') t on true\nfrom source(", 1)
        raw.append((name, text))
    return raw, p.available_sources


SHAPES = {
    "permutations-12k": lambda: permutations(12_000, "abcdefghij"),
    "permutations-3k": lambda: permutations(3_000, "abcdefghij"),
    "long-permutations-2k": lambda: permutations(2_000, "abcdefghijklmnopqrst" * 4),
    "typos-10k": lambda: typos(10_000),
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("shapes", nargs="*", default=list(SHAPES))
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    print(f"module: {core.__file__}")
    for name in args.shapes:
        raw, sources = SHAPES[name]()
        best = float("inf")
        for _ in range(args.repeat):
            t0 = time.perf_counter()
            findings = core.build_pipeline(raw, sources)[3]
            best = min(best, time.perf_counter() - t0)
        digest = hashlib.sha256(
            repr([(f.model, f.message, f.suggestion) for f in findings]).encode()).hexdigest()[:12]
        found = sum(f.suggestion is not None for f in findings)
        print(f"{name:22s} {best:8.3f} s  {len(findings):6d} findings, {found:6d} suggested  "
              f"digest {digest}")


if __name__ == "__main__":
    main()
