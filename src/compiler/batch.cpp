#include "compiler/batch.hpp"

#include "compiler/ddl.hpp"
#include "compiler/parser.hpp"
#include "compiler/resolver.hpp"

namespace tovik::compiler::batch {

namespace {

// Parses the text, lets a front-matter "materialization" replace the argument
// and resolves the body with the call's plan.
Result<ResolvedModel> resolve_with(resolver::Plan& plan, std::string_view raw_sql,
                                   std::string_view model_name,
                                   std::string_view materialization) {
    ParsedSQL parsed = parser::parse(raw_sql);
    if (parsed.front_matter) {
        if (auto it = parsed.front_matter->find("materialization");
            it != parsed.front_matter->end())
            materialization = it->second;
    }
    return plan.resolve(std::move(parsed.body), model_name, materialization,
                        std::move(parsed.refs), std::move(parsed.sources), parsed.front_matter);
}

}  // namespace

Result<ResolvedModel> resolve_text(std::string_view raw_sql, std::string_view model_name,
                                   std::string_view schema, std::string_view materialization,
                                   const StrMap& vars, const SourceMap& sources,
                                   const EphemeralMap& ephemerals) {
    resolver::Plan plan(schema, vars, sources, ephemerals);
    return resolve_with(plan, raw_sql, model_name, materialization);
}

Result<CompiledModel> compile_text(std::string_view raw_sql, std::string_view model_name,
                                   std::string_view schema, std::string_view materialization,
                                   const StrMap& vars, const SourceMap& sources,
                                   const EphemeralMap& ephemerals) {
    auto resolved =
        resolve_text(raw_sql, model_name, schema, materialization, vars, sources, ephemerals);
    if (!resolved.ok()) return std::move(resolved.error());
    return ddl::wrap_ddl(resolved.value());
}

Result<std::vector<ResolvedModel>> batch_resolve(const std::vector<NamedText>& models,
                                                 std::string_view schema,
                                                 std::string_view materialization,
                                                 const StrMap& vars, const SourceMap& sources,
                                                 const EphemeralMap& ephemerals) {
    resolver::Plan plan(schema, vars, sources, ephemerals);
    std::vector<ResolvedModel> out;
    out.reserve(models.size());
    for (const auto& m : models) {
        auto r = resolve_with(plan, m.raw_sql, m.name, materialization);
        if (!r.ok()) return std::move(r.error());
        out.push_back(std::move(r.value()));
    }
    return out;
}

Result<std::vector<CompiledModel>> batch_wrap_ddl(const std::vector<const ResolvedModel*>& models) {
    std::vector<CompiledModel> out;
    out.reserve(models.size());
    for (const ResolvedModel* m : models) {
        auto r = ddl::wrap_ddl(*m);
        if (!r.ok()) return std::move(r.error());
        out.push_back(std::move(r.value()));
    }
    return out;
}

}  // namespace tovik::compiler::batch
