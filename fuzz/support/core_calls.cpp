#include "core_calls.hpp"

#include "compiler/batch.hpp"

namespace tovik::support {

namespace substitution = compiler::substitution;

Substituted substitute(std::string& text, substitution::VarEntries entries,
                       std::uint64_t pass_limit, std::string_view model_name,
                       const substitution::Limits& limits) {
    Substituted res;
    // Every written form begins with "{{": without one the first pass changes nothing.
    if (pass_limit == 0 || text.find("{{") == std::string::npos) {
        res.passes = pass_limit == 0 ? 0 : 1;
        res.order = std::move(entries);
        return res;
    }
    substitution::Substituter sub(std::move(entries), limits);
    static_cast<substitution::SubstitutionRun&>(res) = sub.run(text, pass_limit, model_name);
    res.order = sub.order();
    return res;
}

Result<std::vector<ResolvedModel>> batch_resolve(const std::vector<NamedText>& models,
                                                 std::string_view schema,
                                                 std::string_view materialization,
                                                 const StrMap& vars, const SourceMap& sources,
                                                 const EphemeralMap& ephemerals) {
    std::vector<ResolvedModel> out;
    auto error = compiler::batch::batch_resolve(models, schema, materialization, vars, sources,
                                                ephemerals, [&](ResolvedModel&& m) {
                                                    out.push_back(std::move(m));
                                                    return true;
                                                });
    if (error) return std::move(*error);
    return out;
}

}  // namespace tovik::support
