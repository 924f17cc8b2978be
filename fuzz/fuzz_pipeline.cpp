// The one-call pipeline from raw model texts, against the same plan made step
// by step.
//
// Input (UTF-8; anything else is passed over): chunks separated by the byte 0x1E.
//   "!a,b,..."   the available sources
//   "?pattern"   the selection pattern (the last one given wins)
//   otherwise    a model: its name up to the first line feed, its text after it
//
// The parsed models must carry the refs and sources of the parse, the
// front-matter tags split at "," and trimmed with empty pieces kept, and the
// materialization as written; the graph and the findings must be those of the
// separate steps; and the batches must be the sorted batches with exactly the
// selected names kept, empty batches dropped.
#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common.hpp"
#include "compiler/parser.hpp"
#include "dag/builder.hpp"
#include "dag/pipeline.hpp"
#include "dag/selector.hpp"
#include "dag/sorter.hpp"
#include "dag/validator.hpp"

namespace {

using namespace tovik;

std::string trim(std::string_view s) {
    while (fuzz::starts_with_space(s)) s.remove_prefix(fuzz::seq_len(s[0]));
    while (fuzz::ends_with_space(s)) {
        std::size_t i = s.size() - 1;
        while ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
        s.remove_suffix(s.size() - i);
    }
    return std::string(s);
}

ParsedModel expected_model(const dag::pipeline::RawModel& raw) {
    const auto p = compiler::parser::parse(raw.raw_sql);
    ParsedModel m{std::string(raw.name), p.refs, p.sources, {}, std::nullopt};
    if (p.front_matter) {
        if (const auto it = p.front_matter->find("tags"); it != p.front_matter->end())
            for (auto piece : fuzz::split(it->second, ',')) m.tags.push_back(trim(piece));
        if (const auto it = p.front_matter->find("materialization"); it != p.front_matter->end())
            m.materialization = it->second;
    }
    return m;
}

bool same(const ParsedModel& a, const ParsedModel& b) {
    return a.name == b.name && a.refs == b.refs && a.sources == b.sources && a.tags == b.tags &&
           a.materialization == b.materialization;
}

bool same(const ValidationError& a, const ValidationError& b) {
    return a.model == b.model && a.error_type == b.error_type && a.message == b.message &&
           a.suggestion == b.suggestion;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = fuzz::as_text(data, size);
    if (!fuzz::valid_utf8(text)) return 0;  // texts come from Python strings

    std::vector<dag::pipeline::RawModel> raw;
    StrList available;
    std::optional<std::string> select;
    if (!text.empty()) {
        for (auto chunk : fuzz::split(text, '\x1e')) {
            if (!chunk.empty() && chunk[0] == '!') {
                for (auto s : fuzz::split(chunk.substr(1), ',')) available.emplace_back(s);
            } else if (!chunk.empty() && chunk[0] == '?') {
                select.emplace(chunk.substr(1));
            } else {
                const auto nl = chunk.find('\n');
                raw.push_back({chunk.substr(0, nl),
                               nl == chunk.npos ? std::string_view() : chunk.substr(nl + 1)});
            }
        }
    }

    const auto result = dag::pipeline::build_pipeline(raw, available, select);

    std::vector<ParsedModel> models;
    for (const auto& r : raw) models.push_back(expected_model(r));
    FUZZ_CHECK(result.parsed_models.size() == models.size());
    for (std::size_t i = 0; i < models.size(); ++i) FUZZ_CHECK(same(result.parsed_models[i], models[i]));

    const auto d = dag::builder::build(dag::refs_of(models));
    for (const auto& node : d.graph.nodes) FUZZ_CHECK(result.dag.find(node.name) == d.find(node.name));
    FUZZ_CHECK(dag::builder::edges(result.dag) == dag::builder::edges(d));
    FUZZ_CHECK(result.dag.graph.nodes.size() == d.graph.nodes.size());

    const auto findings = dag::validator::validate(d, dag::refs_of(models), available);
    FUZZ_CHECK(std::equal(findings.begin(), findings.end(), result.errors.begin(), result.errors.end(),
                          [](const auto& a, const auto& b) { return same(a, b); }));

    auto batches = dag::sorter::topo_sort_batches(d.graph);
    if (select) {
        TagsMap tags_map;
        for (const auto& m : models)
            if (!m.tags.empty()) tags_map[m.name] = m.tags;
        const auto picked = dag::selector::select(d, *select, tags_map);
        const std::unordered_set<std::string> keep(picked.begin(), picked.end());
        std::vector<StrList> filtered;
        for (const auto& b : batches) {
            StrList kept;
            for (const auto& name : b)
                if (keep.count(name)) kept.push_back(name);
            if (!kept.empty()) filtered.push_back(std::move(kept));
        }
        batches = std::move(filtered);
    }
    FUZZ_CHECK(dag::sorter::names_of(result.dag.graph, result.batches) == batches);
    return 0;
}
