// The resolver's rewriting and substitution steps written the plain way, as a
// sequence of replace-all loops, for the fuzzers to check the core's one-scan
// paths, splices and proofs against. Nothing here shares code with the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/records.hpp"

namespace tovik::support {

// Every occurrence of `pat`, found left to right without overlapping, replaced
// by `rep`; what `rep` inserts is not searched again.
std::string replace_every(std::string_view text, std::string_view pat, std::string_view rep);

// The ref rewrites: for each other ref n in order, ref('n') and then ref("n")
// become schema.n; then for each ephemeral ref the same forms become n. Throws
// SizeLimitExceeded when a replacement's result would exceed `bound` bytes.
std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other,
                         const StrList& ephemeral, std::size_t bound);

// The source rewrites: for each pair (s, t) in order, source('s', 't') and then
// source("s", "t") become [database.]schema.t of the declared source s. Every
// source name must be declared. Throws as rewrite_refs does.
std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            std::size_t bound);

using Entries = std::vector<std::pair<std::string_view, std::string_view>>;

struct Passes {
    std::uint64_t run = 0;   // passes run, the last one (that changed nothing) included
    bool periodic = false;   // a text came round again and the rest was taken from history
};

// At most `limit` substitution passes over `text`, each replacing "{{ k }}" and
// then "{{k}}" by v for every entry in the given order, stopping after a pass
// that changes nothing. A text seen before makes the passes periodic, and the
// text at the limit is then read off the history. Nothing when that would take
// more than `max_passes` passes or a text past `max_size` bytes.
std::optional<Passes> substitution_passes(std::string& text, const Entries& entries,
                                          std::uint64_t limit, std::uint64_t max_passes = 1200,
                                          std::size_t max_size = std::size_t{4} << 10);

}  // namespace tovik::support
