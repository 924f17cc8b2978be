// The compile entry routines: one model text, or a list of them, from raw text to
// resolved (phase 1) or compiled (phase 2) records.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/error.hpp"
#include "types/records.hpp"

namespace tovik::compiler::batch {

// Parses the text, lets a front-matter "materialization" replace the argument and
// resolves the body.
Result<ResolvedModel> resolve_text(std::string_view raw_sql, std::string_view model_name,
                                   std::string_view schema, std::string_view materialization,
                                   const StrMap& vars, const SourceMap& sources,
                                   const EphemeralMap& ephemerals);

// resolve_text, then DDL wrapping.
Result<CompiledModel> compile_text(std::string_view raw_sql, std::string_view model_name,
                                   std::string_view schema, std::string_view materialization,
                                   const StrMap& vars, const SourceMap& sources,
                                   const EphemeralMap& ephemerals);

// Resolves every model in input order, handing each record to `take` as soon
// as it is made; the first error ends the batch, and so does take returning
// false. Returns the error that ended it, if any.
template <typename T>
using Take = std::function<bool(T&&)>;
std::optional<TovikError> batch_resolve(const std::vector<NamedText>& models,
                                        std::string_view schema, std::string_view materialization,
                                        const StrMap& vars, const SourceMap& sources,
                                        const EphemeralMap& ephemerals,
                                        const Take<ResolvedModel>& take);

// Wraps every model in input order; the first error ends the batch.
std::optional<TovikError> batch_wrap_ddl(const std::vector<const ResolvedModel*>& models,
                                         const Take<CompiledModel>& take);

}  // namespace tovik::compiler::batch
