// Conveniences over the core that only the fuzzers call: a whole-text scan, a
// scan resumed at any offset, a one-shot substitution and a batch gathered
// into a vector. They are thin wrappers; the module has no use for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/scanner.hpp"
#include "compiler/substitution.hpp"
#include "errors/error.hpp"
#include "types/records.hpp"

namespace tovik::support {

// Every reference of the text, in order of position.
std::vector<compiler::scanner::Hit> scan(std::string_view text);

// The first reference that starts at or after `from`, or false.
bool next_hit(std::string_view text, std::size_t from, compiler::scanner::Hit& hit);

struct Substituted : compiler::substitution::SubstitutionRun {
    compiler::substitution::VarEntries order;  // the map order the run used
};

// A substituter made for this one text and run over it.
Substituted substitute(std::string& text, compiler::substitution::VarEntries entries,
                       std::uint64_t pass_limit, std::string_view model_name,
                       const compiler::substitution::Limits& limits = {});

// Every model resolved in input order; the first error ends the batch.
Result<std::vector<ResolvedModel>> batch_resolve(const std::vector<NamedText>& models,
                                                 std::string_view schema,
                                                 std::string_view materialization,
                                                 const StrMap& vars, const SourceMap& sources,
                                                 const EphemeralMap& ephemerals);

}  // namespace tovik::support
