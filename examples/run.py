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


def load_models() -> list[tuple[str, str]]:
    return [(p.stem, p.read_text()) for p in sorted(HERE.glob("*.sql"))]


def main() -> None:
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
    # Taken in batch order, each is resolved with the ones it may use already
    # known, so its body holds their CTEs itself and needs no deps.
    ephemerals: dict[str, core.EphemeralModel] = {}
    materializations = {m.name: m.materialization for m in parsed}
    for name in (name for batch in batches for name in batch):
        if materializations[name] == "ephemeral":
            body = core.resolve_model(texts[name], name, SCHEMA, DEFAULT_MATERIALIZATION,
                                      VARS, sources, ephemerals).resolved_sql
            ephemerals[name] = core.EphemeralModel(name, body, [])

    for i, batch in enumerate(batches):
        resolved = core.batch_resolve([(name, texts[name]) for name in batch], SCHEMA,
                                      DEFAULT_MATERIALIZATION, VARS, sources, ephemerals)
        # Models whose SQL a macro changed are wrapped one by one with the new
        # SQL; the rest in one call. Both keep their place in the batch.
        by_macro: list[core.CompiledModel | None] = []
        for r in resolved:
            calls = core.find_macro_calls(r.resolved_sql, MACROS)
            if calls:
                sql = r.resolved_sql
                for call in reversed(calls):
                    sql = sql[: call.start] + f"({call.args[0]} / 100.0)" + sql[call.end:]
                by_macro.append(core.wrap_ddl(r, resolved_sql=sql))
            else:
                by_macro.append(None)
        rest = iter(core.batch_wrap_ddl([r for r, c in zip(resolved, by_macro) if c is None]))
        for c in by_macro:
            m = c if c is not None else next(rest)
            print(f"\n-- batch {i}: {m.name} [{m.materialization}] -> {m.target}")
            print(m.ddl or f"(ephemeral)\n{m.compiled_sql}")

    marts = core.select_models(dag, "tag:marts", {m.name: m.tags for m in parsed})
    print("\nselected by tag:marts:", ", ".join(sorted(marts)))
    print("upstream of finance_report:",
          ", ".join(sorted(core.select_models(dag, "+finance_report"))))


if __name__ == "__main__":
    main()
