#include "dag/pipeline.hpp"

#include <algorithm>
#include <utility>

#include "compiler/parser.hpp"
#include "dag/selector.hpp"
#include "dag/sorter.hpp"
#include "dag/validator.hpp"
#include "util/hash.hpp"
#include "util/interrupt.hpp"
#include "util/prefetch.hpp"
#include "util/text.hpp"

namespace tovik::dag::pipeline {

namespace {

ParsedModel to_parsed_model(const RawModel& raw) {
    // The graph needs neither the body nor the placeholders: no copy of either.
    auto parsed = compiler::parser::split(raw.raw_sql);
    ParsedModel model;
    model.name.assign(raw.name);
    compiler::parser::collect(parsed.body, model.refs, model.sources, nullptr);
    if (parsed.front_matter) {
        auto& fm = *parsed.front_matter;
        // Unlike the resolver, empty pieces are kept: "tags:" alone is one
        // empty tag, which the pattern "tag:" can select.
        if (const auto v = fm.find("tags")) {
            model.tags.reserve(static_cast<std::size_t>(std::count(v->begin(), v->end(), ',')) + 1);
            text::for_each_piece(*v, ',', [&](std::string_view piece) {
                model.tags.emplace_back(text::trim(piece));
            });
        }
        if (const auto v = fm.find("materialization")) model.materialization.emplace(*v);
    }
    return model;
}

void keep_selected(sorter::Batches& batches, const Graph& g,
                   const util::StringSet& keep) {
    for (auto& batch : batches) {
        util::work(kVisitWork * batch.size());
        std::erase_if(batch, [&](std::uint32_t node) { return keep.count(g.nodes[node].name) == 0; });
    }
    std::erase_if(batches, [](const auto& batch) { return batch.empty(); });
}

}  // namespace

PipelineResult build_pipeline(const std::vector<RawModel>& raw_models,
                              const StrList& available_sources,
                              const std::optional<std::string>& select) {
    PipelineResult result;
    result.parsed_models.reserve(raw_models.size());
    for (std::size_t k = 0; k < raw_models.size(); ++k) {
        if (k + 1 < raw_models.size()) util::prefetch_text(raw_models[k + 1].raw_sql);
        util::work(kVisitWork + raw_models[k].raw_sql.size());
        result.parsed_models.push_back(to_parsed_model(raw_models[k]));
    }

    const auto models = refs_of(result.parsed_models);
    std::size_t unresolved = 0;
    result.dag = builder::build(models, &unresolved);
    result.batches = sorter::topo_sort_nodes(result.dag.graph);
    // The sort leaves out exactly the nodes on and after a cycle.
    std::size_t sorted = 0;
    for (const auto& batch : result.batches) sorted += batch.size();
    result.errors = validator::validate(result.dag, models, available_sources,
                                        {unresolved == 0, sorted == result.dag.graph.nodes.size()});

    if (select) {
        TagsMap tags_map;
        for (const auto& m : result.parsed_models) {
            util::work(kVisitWork);
            if (!m.tags.empty()) tags_map.insert_or_assign(m.name, m.tags);
        }
        StrList chosen = selector::select(result.dag, *select, tags_map);
        util::StringSet keep(std::make_move_iterator(chosen.begin()),
                             std::make_move_iterator(chosen.end()));
        keep_selected(result.batches, result.dag.graph, keep);
    }
    return result;
}

}  // namespace tovik::dag::pipeline
