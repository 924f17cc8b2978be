#include "compiler/ddl.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "compiler/replace.hpp"

namespace tovik::compiler::ddl {

using replace::append_all;

namespace {

// `Model` is const ResolvedModel& (facts shared) or ResolvedModel (facts moved).
template <typename Model>
Result<CompiledModel> wrap(Model&& model) {
    const ModelFacts& facts = model.facts();
    const std::string_view m = facts.materialization;
    const std::string_view t = facts.target;
    const std::string_view sql = model.resolved_sql;
    std::string ddl;
    if (m == "view") {
        append_all(ddl, {"CREATE OR REPLACE VIEW ", t, " AS\n", sql});
    } else if (m == "table") {
        append_all(ddl, {"DROP TABLE IF EXISTS ", t, ";\nCREATE TABLE ", t, " AS\n", sql});
    } else if (m == "ephemeral") {
    } else if (m == "materialized_view") {
        append_all(ddl, {"CREATE MATERIALIZED VIEW IF NOT EXISTS ", t, " AS\n", sql});
    } else if (m == "table_incremental") {
        if (model.unique_key) {
            const std::string_view k = *model.unique_key;
            append_all(ddl, {"DELETE FROM ", t, " WHERE ", k, " IN (SELECT ", k, " FROM (", sql,
                             "));\nINSERT INTO ", t, "\n", sql});
        } else {
            append_all(ddl, {"INSERT INTO ", t, "\n", sql});
        }
    } else {
        return InvalidMaterialization{facts.name, facts.materialization};
    }
    CompiledModel out;
    if (ddl.empty()) {
        out.text = std::forward<Model>(model).resolved_sql;
    } else {
        out.ddl_size = ddl.size();
        out.sql_at = ddl.size() - sql.size();
        out.text = std::move(ddl);
    }
    out.shared = std::forward<Model>(model).shared;
    return out;
}

}  // namespace

Result<CompiledModel> wrap_ddl(const ResolvedModel& model) { return wrap(model); }

Result<CompiledModel> wrap_ddl(ResolvedModel&& model) { return wrap(std::move(model)); }

}  // namespace tovik::compiler::ddl
