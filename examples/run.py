"""Compile and plan the example project: the road the Python front end takes.

Plan the project (parse, build, validate, sort), then resolve every model of
each batch, let "macros" change the resolved SQL, and wrap it in DDL.
"""

from pathlib import Path

import tovik._core as core

HERE = Path(__file__).parent / "project" / "models"
SCHEMA = "analytics"
DEFAULT_MATERIALIZATION = "view"
VARS = {"start_date": "2024-01-01", "paid_status": "paid", "vip_threshold": "1000"}
MACROS = ["cents_to_dollars"]


def load_models():
    return [(p.stem, p.read_text()) for p in sorted(HERE.glob("*.sql"))]


def main():
    raw_models = load_models()
    texts = dict(raw_models)
    sources = {
        "shop": core.SourceInfo("raw", "shop"),
        "billing": core.SourceInfo("", "billing"),
    }

    dag, batches, parsed, errors = core.build_pipeline(raw_models, list(sources))
    print(f"{len(parsed)} models, {len(core.dag_edges(dag))} edges, {len(errors)} findings")
    for err in errors:
        print(f"  {err.error_type}: {err.message} ({err.suggestion})")
    for i, batch in enumerate(batches):
        print(f"batch {i}: {', '.join(batch)}")

    # Ephemeral models become common table expressions of the models using them.
    ephemerals = {}
    for model in parsed:
        if model.materialization == "ephemeral":
            resolved = core.resolve_model(texts[model.name], model.name, SCHEMA,
                                          DEFAULT_MATERIALIZATION, VARS, sources)
            ephemerals[model.name] = core.EphemeralModel(model.name, resolved.resolved_sql,
                                                         [r for r in model.refs])

    for i, batch in enumerate(batches):
        resolved = core.batch_resolve([(name, texts[name]) for name in batch], SCHEMA,
                                      DEFAULT_MATERIALIZATION, VARS, sources, ephemerals)
        finished = []
        for model in resolved:
            calls = core.find_macro_calls(model.resolved_sql, MACROS)
            if calls:
                sql = model.resolved_sql
                for call in reversed(calls):
                    sql = sql[: call.start] + f"({call.args[0]} / 100.0)" + sql[call.end:]
                finished.append(core.wrap_ddl(model, resolved_sql=sql))
            else:
                finished.append(model)
        compiled = [m if isinstance(m, core.CompiledModel) else None for m in finished]
        rest = core.batch_wrap_ddl([m for m in finished if isinstance(m, core.ResolvedModel)])
        it = iter(rest)
        compiled = [m if m is not None else next(it) for m in compiled]
        for model in compiled:
            print(f"\n-- batch {i}: {model.name} [{model.materialization}] -> {model.target}")
            print(model.ddl or f"(ephemeral)\n{model.compiled_sql}")

    marts = core.select_models(dag, "tag:marts", {m.name: m.tags for m in parsed})
    print("\nselected by tag:marts:", ", ".join(sorted(marts)))
    print("upstream of finance_report:",
          ", ".join(sorted(core.select_models(dag, "+finance_report"))))


if __name__ == "__main__":
    main()
