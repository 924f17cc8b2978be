"""Inputs and workloads shared by run.py (plain figures) and suite.py (pyperf).

Everything here goes through the Python API only and takes the module as an
argument, so the same code times whichever build is first on sys.path.
The generated projects are seeded: a given (n, seed) is the same text on
every machine and in every version, which is what makes a ratio meaningful.
"""

import random
from dataclasses import dataclass, field

SCHEMA = "analytics"
MATERIALIZATION = "view"
N_SOURCES = 240
MODEL_BYTES = 480
# The benchmarks of suite.py, in the order compare.py reports them, with what
# one pyperf value is.
BENCHMARKS = ["road-10k", "pipeline-10k", "parse-1mb", "parse-select1", "len-select1"]
UNITS = {"road-10k": "per model", "pipeline-10k": "per model", "parse-1mb": "per call",
         "parse-select1": "per call", "len-select1": "per call"}
VARS = {"run_date": "2024-01-01", "min_amount": "10", "env": "prod",
        "unused_a": "a", "unused_b": "b"}

# Header variants; None means no header. About a third of the models have one,
# and every materialization named here is one the DDL step knows.
_HEADERS = [
    "---\nmaterialization: table\ntags: [daily, t{t}]\n---\n",
    "---\nmaterialization: table_incremental\nunique_key: id\nschema: staging\n---\n",
    "---\ndescription: rollup {i}\ntags: finance, t{t}\nmaterialization: materialized_view\n---\n",
    None, None, None, None, None, None,
]


@dataclass
class Project:
    raw_models: list  # [(name, text)] in dependency-safe order
    available_sources: list  # source names, as build_pipeline wants them
    sources: dict = field(default_factory=dict)  # name -> SourceInfo, for batch_resolve
    by_name: dict = field(default_factory=dict)  # name -> text, what a front end keeps
    vars: dict = field(default_factory=lambda: dict(VARS))

    @property
    def text_bytes(self):
        return sum(len(t.encode()) for _, t in self.raw_models)


def model_text(i, rnd):
    header = rnd.choice(_HEADERS)
    head = header.format(i=i, t=i % 11) if header else ""
    src = rnd.randrange(N_SOURCES)
    k = min(i, rnd.randint(0, 3))
    # Refs only to earlier models: the project has no cycle by construction.
    refs = rnd.sample(range(i), k) if k else []
    joins = "".join(f"left join ref('m{r}') r{j} on r{j}.id = a.id\n"
                    for j, r in enumerate(refs))
    if rnd.random() < 0.3:
        other = rnd.randrange(N_SOURCES)
        joins += f"join source('src_{other}', 'lookup') l on l.id = a.id\n"
    tail = (f"from source('src_{src}', 'table_{i % 1000}') a\n{joins}"
            "where a.amount > {{ min_amount }}\n"
            "  and a.env = '{{ env }}'\n")
    cols = ["select a.id", "'{{ run_date }}' as run_date"]
    # Pad with columns to about MODEL_BYTES: a realistic body, not a filler comment.
    size = len(head) + len(tail) + 20
    j = 0
    while size < MODEL_BYTES - 36:
        col = f"a.c{j}_{i % 97} as col_{j}"
        cols.append(col)
        size += len(col) + 6
        j += 1
    return head + ",\n    ".join(cols) + "\n" + tail


def project(n, core=None, seed=2024, index=True):
    rnd = random.Random(seed)
    raw = [(f"m{i}", model_text(i, rnd)) for i in range(n)]
    names = [f"src_{k}" for k in range(N_SOURCES)]
    p = Project(raw, names)
    if index:
        p.by_name = dict(raw)
    if core is not None:
        p.sources = {s: core.SourceInfo(f"db{k % 4}", f"raw_{k}") for k, s in enumerate(names)}
    return p


def road(core, p):
    """What a front end does to compile a whole project: plan, then compile
    batch by batch in dependency order. Returns the number of models compiled."""
    _, batches, _, findings = core.build_pipeline(p.raw_models, p.available_sources)
    by_name, n = p.by_name, 0
    for batch in batches:
        resolved = core.batch_resolve([(name, by_name[name]) for name in batch],
                                      SCHEMA, MATERIALIZATION, p.vars, p.sources)
        n += len(core.batch_wrap_ddl(resolved))
    return n


def check_project(core, p):
    """A benchmark of a project that fails to compile would time the error path."""
    _, batches, parsed, findings = core.build_pipeline(p.raw_models, p.available_sources)
    if findings:
        f = findings[0]
        raise SystemExit(f"generated project has {len(findings)} findings, first: "
                         f"{f.model} {f.error_type}: {f.message}")
    if sum(map(len, batches)) != len(p.raw_models):
        raise SystemExit("generated project: batches do not cover every model")
    if road(core, p) != len(p.raw_models):
        raise SystemExit("generated project: road compiled fewer models than given")


def big_model(target=1_000_000, seed=7):
    """One model of about `target` bytes: one header, then many joined parts."""
    rnd = random.Random(seed)
    parts = ["---\nmaterialization: table\ntags: [big]\n---\nselect * from (\n"]
    size, i = len(parts[0]), 1
    while size < target:
        body = model_text(i, rnd)
        body = body[body.index("select"):] if body.startswith("---") else body
        piece = body + "union all\n"
        parts.append(piece)
        size += len(piece)
        i += 1
    parts.append("select 1) x\n")
    return "".join(parts)
