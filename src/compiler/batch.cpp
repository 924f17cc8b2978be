#include "compiler/batch.hpp"

#include "compiler/ddl.hpp"
#include "compiler/parser.hpp"
#include "compiler/resolver.hpp"
#include "compiler/scanner.hpp"
#include "util/prefetch.hpp"

namespace tovik::compiler::batch {

namespace {

// Parses the text, lets a front-matter "materialization" replace the argument
// and resolves the body with the call's plan. The body is scanned here rather
// than by the parser, so that the resolver gets the offsets of its references
// and placeholders too; the placeholders' names, which it does not use, are not
// collected.
Result<ResolvedModel> resolve_with(resolver::Plan& plan, std::vector<scanner::Hit>& hits,
                                   std::string_view raw_sql, std::string_view model_name,
                                   std::string_view materialization) {
    const parser::Sections sections = parser::split(raw_sql);
    if (sections.front_matter) {
        if (const auto v = sections.front_matter->find("materialization")) materialization = *v;
    }
    const std::string_view body = sections.body;
    // All hits first, so that each list is allocated once at its size.
    hits.clear();
    scanner::Hit buffer[16];
    scanner::Cursor cursor(body);
    for (std::size_t n; (n = cursor.take(buffer, 16)) > 0;)
        hits.insert(hits.end(), buffer, buffer + n);
    StrList refs;
    StrPairList sources;
    parser::append_names(body, hits, refs, sources, nullptr);
    return plan.resolve(body, &hits, model_name, materialization, std::move(refs),
                        std::move(sources), sections.front_matter);
}

}  // namespace

Result<ResolvedModel> resolve_text(std::string_view raw_sql, std::string_view model_name,
                                   std::string_view schema, std::string_view materialization,
                                   const StrMap& vars, const SourceMap& sources,
                                   const EphemeralMap& ephemerals) {
    resolver::Plan plan(schema, vars, sources, ephemerals);
    std::vector<scanner::Hit> hits;
    return resolve_with(plan, hits, raw_sql, model_name, materialization);
}

Result<CompiledModel> compile_text(std::string_view raw_sql, std::string_view model_name,
                                   std::string_view schema, std::string_view materialization,
                                   const StrMap& vars, const SourceMap& sources,
                                   const EphemeralMap& ephemerals) {
    auto resolved =
        resolve_text(raw_sql, model_name, schema, materialization, vars, sources, ephemerals);
    if (!resolved.ok()) return std::move(resolved.error());
    return ddl::wrap_ddl(std::move(resolved.value()));
}

std::optional<TovikError> batch_resolve(const std::vector<NamedText>& models,
                                        std::string_view schema, std::string_view materialization,
                                        const StrMap& vars, const SourceMap& sources,
                                        const EphemeralMap& ephemerals,
                                        const Take<ResolvedModel>& take) {
    resolver::Plan plan(schema, vars, sources, ephemerals);
    std::vector<scanner::Hit> hits;
    for (std::size_t k = 0; k < models.size(); ++k) {
        const auto& m = models[k];
        if (k + 1 < models.size()) util::prefetch_text(models[k + 1].raw_sql);
        auto r = resolve_with(plan, hits, m.raw_sql, m.name, materialization);
        if (!r.ok()) return std::move(r.error());
        if (!take(std::move(r.value()))) break;
    }
    return std::nullopt;
}

std::optional<TovikError> batch_wrap_ddl(const std::vector<const ResolvedModel*>& models,
                                         const Take<CompiledModel>& take) {
    for (std::size_t k = 0; k < models.size(); ++k) {
        const ResolvedModel* m = models[k];
        if (k + 1 < models.size()) util::prefetch_text(models[k + 1]->resolved_sql);
        auto r = ddl::wrap_ddl(*m);
        if (!r.ok()) return std::move(r.error());
        if (!take(std::move(r.value()))) break;
    }
    return std::nullopt;
}

}  // namespace tovik::compiler::batch
