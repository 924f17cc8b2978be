// Phase 2 of compiling one model: the DDL statement of its materialization.
#pragma once

#include "errors/error.hpp"
#include "types/records.hpp"

namespace tovik::compiler::ddl {

// InvalidMaterialization for a materialization outside the five known names.
Result<CompiledModel> wrap_ddl(const ResolvedModel& model);
// The same, taking over the record's fields instead of copying them.
Result<CompiledModel> wrap_ddl(ResolvedModel&& model);

}  // namespace tovik::compiler::ddl
