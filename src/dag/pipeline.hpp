// The whole project at once: parse every model, build the dependency graph,
// validate it and sort it into batches, optionally narrowed by a selection.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "dag/builder.hpp"
#include "dag/sorter.hpp"
#include "types/records.hpp"

namespace tovik::dag::pipeline {

using RawModel = NamedText;

struct PipelineResult {
    Dag dag;
    // Node indices, which are the models' own: the i-th model is node i.
    sorter::Batches batches;                  // filtered by the selection, if any
    std::vector<ParsedModel> parsed_models;   // never filtered
    std::vector<ValidationError> errors;      // never filtered
};

// Parse every model text, build the graph, validate it and sort it into
// batches; with a selection pattern, the batches keep only selected names.
// Never fails: problems of the project come back as findings.
PipelineResult build_pipeline(const std::vector<RawModel>& raw_models,
                              const StrList& available_sources,
                              const std::optional<std::string>& select);

}  // namespace tovik::dag::pipeline
