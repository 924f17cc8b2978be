"""Keys that share one value of the standard library's unseeded string hash,
against random keys of the same length: the cost of maps over caller-chosen
strings. Figures only.

    .venv/bin/python bench/collisions.py [N]        # N keys, default 60,000

The keys are made for libstdc++'s 64-bit std::hash (a MurmurHash2 variant,
seed 0xc70f6907): 16 bytes each, the first 8 chosen, the last 8 solved so
that the state after both blocks is one fixed value, kept when they are
ASCII (one solution in 256). With a hash that depends on a per-process key
the same keys cost what random ones do.
"""
import os
import random
import sys
import time

import tovik._core as core

M64 = (1 << 64) - 1
MUL = (0xC6A4A793 << 32) + 0x5BD1E995
MUL_INV = pow(MUL, -1, 1 << 64)
SEED = 0xC70F6907


def std_hash(b):
    """libstdc++'s std::hash of a byte string, for checking the keys."""
    def shift_mix(v):
        return v ^ (v >> 47)

    n = len(b)
    h = (SEED ^ (n * MUL)) & M64
    whole = n & ~7
    for i in range(0, whole, 8):
        d = (shift_mix((int.from_bytes(b[i:i + 8], "little") * MUL) & M64) * MUL) & M64
        h = ((h ^ d) * MUL) & M64
    if n & 7:
        h = ((h ^ int.from_bytes(b[whole:], "little")) * MUL) & M64
    h = (shift_mix(h) * MUL) & M64
    return shift_mix(h)


def colliding_keys(count, rng):
    h0 = (SEED ^ (16 * MUL)) & M64
    target = (rng.getrandbits(64) * MUL_INV) & M64  # the state after both blocks, unmultiplied
    keys = []
    while len(keys) < count:
        k1 = rng.getrandbits(64) & 0x7F7F7F7F7F7F7F7F
        m = (k1 * MUL) & M64
        h1 = ((h0 ^ ((m ^ (m >> 47)) * MUL & M64)) * MUL) & M64
        # d2 = shift_mix(k2 * MUL) * MUL must be h1 ^ target; shift_mix undoes itself.
        v = ((h1 ^ target) * MUL_INV) & M64
        k2 = ((v ^ (v >> 47)) * MUL_INV) & M64
        if k2 & 0x8080808080808080 == 0:
            keys.append((k1.to_bytes(8, "little") + k2.to_bytes(8, "little")).decode("ascii"))
    return keys


def random_keys(count, rng):
    return ["".join(chr(rng.randrange(128)) for _ in range(16)) for _ in range(count)]


def timed(f):
    t = time.perf_counter()
    f()
    return time.perf_counter() - t


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 60_000
    rng = random.Random(7)
    t = time.perf_counter()
    bad = colliding_keys(n, rng)
    made = time.perf_counter() - t
    assert len(set(bad)) == n and len({std_hash(k.encode()) for k in bad[:1000]}) == 1
    good = random_keys(n, rng)
    print(f"{n} keys of 16 bytes sharing one std::hash value, made in {made:.1f} s")
    src = core.SourceInfo("db", "sc")
    cases = {
        "resolve_model, keys as vars": lambda keys: core.resolve_model(
            "select 1", "m", "s", "view", dict.fromkeys(keys, "v"), {}),
        "resolve_model, keys as sources": lambda keys: core.resolve_model(
            "select 1", "m", "s", "view", {}, dict.fromkeys(keys, src)),
        "build_pipeline, keys as model names": lambda keys: core.build_pipeline(
            [(k, "select 1") for k in keys], []),
        "select_models tag:, keys in tags_map": lambda keys: core.select_models(
            core.build_dag([]), "tag:x", dict.fromkeys(keys, ["x"])),
    }
    print(f"{'':40} {'colliding':>10} {'random':>10}")
    for name, f in cases.items():
        print(f"{name:40} {timed(lambda: f(bad)):9.3f}s {timed(lambda: f(good)):9.3f}s")


if __name__ == "__main__":
    main()
