// The rewriting of ref() and source() calls into relation names, each as a
// one-scan fast path with the plain sequential replacements behind it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compiler/replace.hpp"
#include "compiler/scanner.hpp"
#include "types/records.hpp"

namespace tovik::compiler::rewriting {

// Both throw SizeLimitExceeded when a step's result would exceed `bound` bytes.
// `allow_fast` = false forces the sequential algorithm throughout, so that the
// one-scan rewrites can be checked against it.
std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other_refs,
                         const StrList& ephemeral_refs, bool allow_fast,
                         std::size_t bound = replace::text_size_bound());

// Every source name of `pairs` must be a key of `sources`.
std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            bool allow_fast, std::size_t bound = replace::text_size_bound());

// rewrite_refs and then rewrite_sources on `body`, done as one splice at the
// offsets the scanner found. `hits` are the body's hits in order: the i-th Ref
// hit is rewritten bare when bare[i] (no `bare`: none is), and the j-th Source
// hit names the source declared as *infos[j]. Empty when the two steps have to
// run as themselves, so that they decide.
//
// With `var_values`, brace-free values for the Var hits in order, those hits
// are replaced too, provided the rewritten text then holds no "{{" but theirs:
// its spots are then exactly the Var hits, and the values are what one
// substitution pass puts there, after which no spot and no leftover is left.
// *vars_spliced says whether they were; if not, the Var hits stay as they are.
std::optional<std::string> rewrite_from_hits(
    std::string_view body, const std::vector<scanner::Hit>& hits, std::string_view schema,
    const std::vector<char>* bare, const std::vector<const SourceInfo*>& infos,
    std::size_t bound = replace::text_size_bound(),
    const std::vector<std::string_view>* var_values = nullptr, bool* vars_spliced = nullptr);

}  // namespace tovik::compiler::rewriting
