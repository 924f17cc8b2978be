"""Speed of this tree as a ratio against a git ref, both measured in one run.

    make bench-compare [REF=main] [ROUNDS=10] [BIG=1]
    .venv/bin/python bench/compare.py --ref main --rounds 10 [--big] [--only road-10k]

What it does:
1. checks REF out into a detached worktree under build/bench/ (removed again
   at the end, also on failure or Ctrl-C);
2. builds the extension of REF and of the working tree as it is now
   (uncommitted changes included) the same way: pip with scikit-build-core,
   no build isolation, the same interpreter, compiler and environment, each
   into its own target directory (build/bench/{ref,cur}/site) and CMake tree;
3. runs bench/suite.py (pyperf) against each build in alternating order:
   every round runs every benchmark once per build, in a fresh pyperf
   manager and worker with PYTHONPATH set to that build, REF first in even
   rounds and the current tree first in odd ones, so drift of the machine
   during the run falls on both alike. Loops per value are calibrated once
   (on REF in round 0) and then fixed for both builds;
4. prints, per benchmark, REF's and the current tree's mean with pyperf's
   standard deviation, and the ratio current/REF (below 1: the current tree
   is faster), then pyperf's own compare_to table with its significance test.

REF defaults to main. When main has moved on since this branch left it, the
ratio includes main's new commits too; the script says so, and
REF=$(git merge-base HEAD main) measures only this branch's own changes.

With --big, bench/big.py (build_pipeline on 1,000,000 models, peak memory)
also runs once per build, each in its own process; it takes about a minute
per build and several GB of memory.

The ratio of a benchmark to itself is the noise floor: run with REF=HEAD on a
clean tree to see how far from 1.00 an unchanged build lands on this machine.
"""

import argparse
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import workloads  # noqa: E402

ROOT = os.path.dirname(HERE)
WORK = os.path.join(ROOT, "build", "bench")
PY = sys.executable


def git(*args, cwd=ROOT, check=True):
    out = subprocess.run(["git", *args], cwd=cwd, check=check, capture_output=True, text=True)
    return out.stdout.strip()


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def describe(ref):
    return git("log", "-1", "--format=%h %s", ref)


def add_worktree(sha, path):
    remove_worktree(path)
    git("worktree", "add", "--detach", path, sha)


def remove_worktree(path):
    if os.path.exists(path):
        git("worktree", "remove", "--force", path, check=False)
        shutil.rmtree(path, ignore_errors=True)
    git("worktree", "prune")


def build(src, dest, fresh_cmake):
    """Build the extension of the tree at src into dest/site; return the site dir."""
    site, cmake_dir = os.path.join(dest, "site"), os.path.join(dest, "cmake")
    shutil.rmtree(site, ignore_errors=True)  # pip --target skips what already exists
    if fresh_cmake:
        shutil.rmtree(cmake_dir, ignore_errors=True)
    log(f"building {src} -> {site}")
    t0 = time.perf_counter()
    subprocess.run([PY, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                    "--target", site, f"-Cbuild-dir={cmake_dir}", src], check=True)
    log(f"  built in {time.perf_counter() - t0:.0f} s")
    pkg = os.path.join(site, "tovik")
    if not glob.glob(os.path.join(pkg, "_core*.so")):
        raise SystemExit(f"{src}: the build installed no tovik/_core*.so under {site}")
    # The package source moved from tovik/ to python/tovik/; older trees may
    # install only the extension, and the package marker must come from the tree.
    if not os.path.exists(os.path.join(pkg, "__init__.py")):
        for cand in ("python/tovik/__init__.py", "tovik/__init__.py"):
            if os.path.exists(os.path.join(src, cand)):
                shutil.copy(os.path.join(src, cand), pkg)
                break
        else:
            open(os.path.join(pkg, "__init__.py"), "w").close()
    return site


def cmake_settings(dest):
    keys = ("CMAKE_CXX_COMPILER:", "CMAKE_BUILD_TYPE:", "CMAKE_CXX_FLAGS:",
            "CMAKE_CXX_FLAGS_RELEASE:")
    found = {}
    try:
        with open(os.path.join(dest, "cmake", "CMakeCache.txt")) as f:
            for line in f:
                for k in keys:
                    if line.startswith(k):
                        found[k.rstrip(":")] = line.split("=", 1)[1].strip()
    except OSError:
        pass
    return found


def run_suite(site, bench, out, loops, values):
    env = dict(os.environ, PYTHONPATH=site)
    cmd = [PY, os.path.join(HERE, "suite.py"), "--only", bench, "--quiet",
           "-p", "1", "-n", str(values), "-w", "1", "--inherit-environ", "PYTHONPATH",
           "--append", out]
    if loops:
        cmd += ["--loops", str(loops)]
    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL)


def loops_of(path, bench):
    import pyperf
    for b in pyperf.BenchmarkSuite.load(path).get_benchmarks():
        if b.get_name() == bench:
            return b.get_loops()
    return None


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.3f} {unit}"
    return f"{seconds / 1e-9:8.3f} ns"


def load(path):
    import pyperf
    try:
        return {b.get_name(): b for b in pyperf.BenchmarkSuite.load(path).get_benchmarks()}
    except FileNotFoundError:
        return {}


def check_module(benches, site, label):
    for b in benches.values():
        mod = b.get_metadata().get("tovik_core", "")
        if not mod.startswith(os.path.realpath(site)):
            raise SystemExit(f"{label}: {b.get_name()} ran against {mod}, not the build in {site}")


def paired_ratios(r, c):
    """cur/ref of the runs of each round: the two ran back to back, so a slow
    spell of the machine falls on both, and the pair's ratio cancels it."""
    def per_round(b):
        return [statistics.fmean(run.values) for run in b.get_runs() if run.values]
    return [cv / rv for rv, cv in zip(per_round(r), per_round(c))]


def best(b):
    """The fastest value: what the code costs when nothing else got in its way.
    Interference only ever adds time, and adds the same time to either build,
    so on a shared machine it bends the ratio of means toward 1."""
    return min(b.get_values())


def quartiles(xs):
    if len(xs) < 2:
        return xs[0], xs[0], xs[0]
    q1, q2, q3 = statistics.quantiles(xs, n=4, method="inclusive")
    return q1, q2, q3


def report(ref, cur, parse_bytes):
    print(f"\n{'benchmark':<15} {'unit':<10} {'ref mean':>11} {'± std':>9} "
          f"{'current mean':>13} {'± std':>9} {'cur/ref':>8} {'best':>6}  "
          f"{'paired: median [q1, q3]':<25} runs")
    for name in workloads.BENCHMARKS:
        r, c = ref.get(name), cur.get(name)
        if not r or not c:
            print(f"{name:<15} {'':<10} {'(missing in ' + ('ref' if not r else 'current') + ')':>11}")
            continue
        unit = workloads.UNITS[name]
        q1, q2, q3 = quartiles(paired_ratios(r, c))
        print(f"{name:<15} {unit:<10} {fmt_time(r.mean()):>11} {r.stdev() / r.mean():8.1%} "
              f"{fmt_time(c.mean()):>13} {c.stdev() / c.mean():8.1%} "
              f"{c.mean() / r.mean():8.3f} {best(c) / best(r):6.3f}  "
              f"{q2:6.3f} [{q1:.3f}, {q3:.3f}]{'':<5} "
              f"{r.get_nrun()}/{c.get_nrun()}")
    print("\n(± std: pyperf's standard deviation of the values, as a share of the mean;"
          "\n cur/ref: ratio of the means; best: ratio of the fastest values;"
          "\n paired: the ratios of the two builds' runs of each round, which ran back"
          "\n to back: the steadier reading on a busy machine;"
          "\n runs count the calibration run too)")
    print("\nderived figures, from the means and from the fastest values:"
          "\n                         ref     current    ref best  current best")
    for label, fn in (("road us/model", lambda d, v: v(d["road-10k"]) * 1e6),
                      ("parse 1 MB GB/s", lambda d, v: parse_bytes / v(d["parse-1mb"]) / 1e9),
                      ("select1 x len()",
                       lambda d, v: v(d["parse-select1"]) / v(d["len-select1"]))):
        vals = []
        for v in (lambda b: b.mean(), best):
            for d in (ref, cur):
                try:
                    vals.append(f"{fn(d, v):11.3f}")
                except (KeyError, ZeroDivisionError):
                    vals.append(f"{'-':>11}")
        print(f"{label:<18} {' '.join(vals)}")


def run_big(site, models):
    env = dict(os.environ, PYTHONPATH=site)
    out = subprocess.run([PY, os.path.join(HERE, "big.py"), "--models", str(models)],
                         env=env, check=True, capture_output=True, text=True)
    res = json.loads(out.stdout.strip().splitlines()[-1])
    if not res["module"].startswith(os.path.realpath(site)):
        raise SystemExit(f"big.py ran against {res['module']}, not {site}")
    return res


def report_big(big, ref, cur):
    print(f"\nbuild_pipeline on {big['ref']['models']:,} models "
          f"({big['ref']['text_bytes'] / 1e6:,.0f} MB of text), one process per build:")
    print(f"{'':<26} {'ref':>10} {'current':>10} {'cur/ref':>8}")
    rows = [("time s", lambda b, d: b["seconds"]),
            ("us per model", lambda b, d: b["seconds"] / b["models"] * 1e6),
            ("per model vs 10k", lambda b, d: b["seconds"] / b["models"] / d["pipeline-10k"].mean()),
            ("peak RSS MiB", lambda b, d: b["peak"] / 2**20),
            ("peak RSS / text", lambda b, d: b["peak"] / b["text_bytes"]),
            ("call's growth / text", lambda b, d: (b["peak"] - b["rss_before"]) / b["text_bytes"])]
    for label, fn in rows:
        try:
            a, b = fn(big["ref"], ref), fn(big["cur"], cur)
            print(f"{label:<26} {a:10.3f} {b:10.3f} {b / a:8.3f}")
        except (KeyError, ZeroDivisionError):
            print(f"{label:<26} {'-':>10} {'-':>10}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--ref", default="main")
    ap.add_argument("--rounds", type=int, default=10)
    ap.add_argument("--values", type=int, default=3, help="values per worker process")
    ap.add_argument("--only", action="append", choices=workloads.BENCHMARKS)
    ap.add_argument("--big", action="store_true", help="also build_pipeline on 1M models")
    ap.add_argument("--big-models", type=int, default=1_000_000)
    args = ap.parse_args()

    sha = git("rev-parse", "--verify", args.ref + "^{commit}")
    head = git("rev-parse", "HEAD")
    dirty = git("status", "--porcelain", "--untracked-files=no")
    print(f"ref:     {args.ref} = {describe(sha)}")
    print(f"current: working tree at {describe(head)}{' (with uncommitted changes)' if dirty else ''}")
    if subprocess.run(["git", "merge-base", "--is-ancestor", sha, head], cwd=ROOT).returncode:
        print(f"note: {args.ref} has commits that HEAD lacks; the ratio includes them. "
              f"REF=$(git merge-base HEAD {args.ref}) compares against where this branch began.")

    os.makedirs(WORK, exist_ok=True)
    src = os.path.join(WORK, "ref-src")
    ref_dir, cur_dir = os.path.join(WORK, "ref"), os.path.join(WORK, "cur")
    try:
        add_worktree(sha, src)
        ref_site = build(src, ref_dir, fresh_cmake=True)
    finally:
        remove_worktree(src)
    cur_site = build(ROOT, cur_dir, fresh_cmake=False)
    rs, cs = cmake_settings(ref_dir), cmake_settings(cur_dir)
    for k in sorted(set(rs) | set(cs)):
        same = "same" if rs.get(k) == cs.get(k) else "DIFFERENT"
        print(f"{k}: {same}: ref {rs.get(k)!r}" + ("" if same == "same" else f", current {cs.get(k)!r}"))

    results = os.path.join(WORK, "results")
    shutil.rmtree(results, ignore_errors=True)
    os.makedirs(results)
    outs = {"ref": os.path.join(results, "ref.json"), "cur": os.path.join(results, "cur.json")}
    sites = {"ref": ref_site, "cur": cur_site}
    benches = args.only or workloads.BENCHMARKS
    loops = {}
    t0 = time.perf_counter()
    for rnd in range(args.rounds):
        order = ("ref", "cur") if rnd % 2 == 0 else ("cur", "ref")
        for bench in benches:
            for who in order:
                run_suite(sites[who], bench, outs[who], loops.get(bench), args.values)
                if bench not in loops:
                    loops[bench] = loops_of(outs[who], bench)
        log(f"round {rnd + 1}/{args.rounds} done, {time.perf_counter() - t0:.0f} s")

    ref, cur = load(outs["ref"]), load(outs["cur"])
    check_module(ref, ref_site, "ref")
    check_module(cur, cur_site, "current")
    report(ref, cur, len(workloads.big_model().encode()))
    subprocess.run([PY, "-m", "pyperf", "compare_to", "--table", outs["ref"], outs["cur"]])

    if args.big:
        big = {}
        for who in ("ref", "cur"):
            log(f"build_pipeline on {args.big_models:,} models, {who}")
            big[who] = run_big(sites[who], args.big_models)
        report_big(big, ref, cur)
    print(f"\nresults: {outs['ref']} and {outs['cur']} (pyperf JSON)")


if __name__ == "__main__":
    main()
