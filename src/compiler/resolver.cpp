// How one model is resolved.
//
// The plain path follows the steps in order, each on the whole working text:
// rewrite the other refs and then the ephemeral refs (rewriting.cpp), check
// every source against the source map and rewrite the sources, run the
// substitution passes (substitution.cpp), look for a leftover placeholder
// (scanner::first_var), inject the ephemeral models, build the record.
//
// The fast path does the rewrites, and the substitution when it is certain to
// end after one pass, as one splice at the offsets where the parser's scan
// found the references (rewriting::rewrite_from_hits). It gives up in one
// place: Plan::resolve, when that splice returns nothing (no hits were handed
// over, a source is undeclared, or a replacement holds a parenthesis or could
// make a written form with its neighbours that a later step would meet), and
// the plain path then runs from the start.
// When the splice is made but some placeholder's value is not known to be
// brace-free, the placeholders stay in place and the passes run as usual.
//
// Within the plain path each step still picks, by itself and only for speed,
// a one-scan form where it provably gives what the step gives (the refs and
// sources in rewriting.cpp, a pass in substitution.cpp); the runaway proofs
// (runaway.hpp) decide a run that would pass its bounds.
#include "compiler/resolver.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "compiler/replace.hpp"
#include "compiler/rewriting.hpp"
#include "compiler/substitution.hpp"
#include "util/text.hpp"

namespace tovik::compiler::resolver {

namespace {

using replace::append_all;
using replace::concat;
using replace::npos;

// Walks the pieces in place and sizes the list once: these lists are short and
// most models have one, so the allocations would outweigh the work.
StrList list_rule(std::string_view value) {
    StrList out;
    out.reserve(static_cast<std::size_t>(std::count(value.begin(), value.end(), ',')) + 1);
    text::for_each_piece(value, ',', [&](std::string_view piece) {
        if (const auto t = text::trim(piece); !t.empty()) out.emplace_back(t);
    });
    return out;
}

bool starts_with_with_space(std::string_view t) {
    auto lower = [](char c) { return static_cast<char>(c | 0x20); };
    return t.size() >= 5 && lower(t[0]) == 'w' && lower(t[1]) == 'i' && lower(t[2]) == 't' &&
           lower(t[3]) == 'h' && t[4] == ' ';
}

}  // namespace

std::uint64_t max_var_passes() {
    constexpr std::uint64_t kDefault = 10;
    const char* raw = std::getenv("TOVIK_MAX_VAR_PASSES");
    if (raw == nullptr) return kDefault;
    std::string_view s(raw);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return kDefault;
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return kDefault;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return kDefault;
        value = value * 10 + d;
    }
    return value;
}

void collect_recursive(const std::string& name, const EphemeralMap& ephemerals, Visited& visited,
                       std::vector<StrPair>& collected) {
    struct Frame {
        const std::string* name;
        const EphemeralModel* model;
        std::size_t next_dep;
    };
    if (!visited.insert(name).second) return;
    auto it = ephemerals.find(name);
    if (it == ephemerals.end()) return;
    std::vector<Frame> stack{{&it->first, &it->second, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_dep < top.model->deps.size()) {
            const std::string& dep = top.model->deps[top.next_dep++];
            if (!visited.insert(dep).second) continue;
            auto d = ephemerals.find(dep);
            if (d != ephemerals.end()) stack.push_back({&d->first, &d->second, 0});
        } else {
            collected.emplace_back(*top.name, top.model->compiled_body);
            stack.pop_back();
        }
    }
}

// The substituter of one effective schema, with the derived tables that make its
// passes cheap; `sub` keeps views into `schema` and the caller's variables.
struct Plan::Cached {
    std::string schema;
    std::optional<substitution::Substituter> sub;
};

namespace {
// Distinct effective schemas are few; past this many, a model with yet another
// one gets a substituter of its own, as if nothing were kept.
constexpr std::size_t kMaxCached = 8;
}  // namespace

Plan::Plan(std::string_view schema, const StrMap& vars, const SourceMap& sources,
           const EphemeralMap& ephemerals)
    : schema_(schema),
      sources_(sources),
      ephemerals_(ephemerals),
      schema_var_(vars.count("schema") != 0) {
    entries_.reserve(vars.size() + 1);
    for (const auto& [k, v] : vars) entries_.emplace_back(k, v);
}

Plan::~Plan() = default;

std::uint64_t Plan::passes() {
    if (!passes_) passes_ = max_var_passes();
    return *passes_;
}

substitution::Substituter& Plan::substituter_for(std::string_view effective_schema,
                                                 std::unique_ptr<Cached>& uncached) {
    // With a "schema" variable of the caller's the map is the same for every model.
    for (const auto& c : cached_)
        if (schema_var_ || c->schema == effective_schema) return *c->sub;
    // One model may ask twice, past the cache's capacity.
    if (uncached && uncached->schema == effective_schema) return *uncached->sub;
    auto c = std::make_unique<Cached>();
    c->schema.assign(effective_schema);
    substitution::VarEntries entries = entries_;
    if (!schema_var_) entries.emplace_back("schema", c->schema);
    c->sub.emplace(std::move(entries), limits_);
    auto& sub = *c->sub;
    if (cached_.size() < kMaxCached)
        cached_.push_back(std::move(c));
    else
        uncached = std::move(c);
    return sub;
}

bool Plan::var_values(std::string_view body, const std::vector<scanner::Hit>& hits,
                      std::string_view effective_schema, std::unique_ptr<Cached>& uncached) {
    values_.clear();
    substitution::Substituter* sub = nullptr;
    for (const auto& h : hits) {
        if (h.form != scanner::Form::Var) continue;
        if (sub == nullptr) {
            if (passes() == 0) return false;
            sub = &substituter_for(effective_schema, uncached);
        }
        const auto* v = sub->brace_free_value(
            body.substr(h.match.begin + 2, h.match.end - h.match.begin - 4));
        if (v == nullptr) return false;
        values_.push_back(*v);
    }
    return sub != nullptr;
}

Result<ResolvedModel> Plan::resolve(std::string_view body, const std::vector<scanner::Hit>* hits,
                                    std::string_view model_name,
                                    std::string_view materialization, StrList refs,
                                    StrPairList source_pairs,
                                    const std::optional<parser::Header>& front_matter) {
    ResolvedModel out;
    ModelFacts facts;
    std::string_view effective_schema = schema_;
    if (front_matter) {
        const parser::Header& fm = *front_matter;
        if (const auto v = fm.find("description")) facts.description = *v;
        if (const auto v = fm.find("tags")) facts.tags = list_rule(*v);
        if (const auto v = fm.find("enabled")) facts.enabled = *v != "false";
        if (const auto v = fm.find("schema")) effective_schema = *v;
        if (const auto v = fm.find("macros")) out.macros = list_rule(*v);
        if (const auto v = fm.find("unique_key")) out.unique_key = *v;
    }

    // Without ephemeral models every ref is an other ref: no split copy needed.
    StrList other_split, ephemeral_refs;
    bare_.clear();
    if (!ephemerals_.empty())
        for (const auto& r : refs) {
            const bool bare = ephemerals_.count(r) != 0;
            (bare ? ephemeral_refs : other_split).push_back(r);
            bare_.push_back(bare);
        }
    const StrList& other_refs = ephemerals_.empty() ? refs : other_split;

    // From the scanner's offsets when every source is declared; an undeclared
    // one is reported after the refs are rewritten, which may refuse for size.
    std::optional<std::string> spliced;
    std::unique_ptr<Cached> uncached;
    bool vars_spliced = false;
    if (hits != nullptr) {
        infos_.clear();
        for (const auto& [s, t] : source_pairs) {
            const auto* info = sources_.find(s);
            if (info == nullptr) break;
            infos_.push_back(*info);
        }
        if (infos_.size() == source_pairs.size()) {
            const bool values = var_values(body, *hits, effective_schema, uncached);
            spliced = rewriting::rewrite_from_hits(body, *hits, schema_,
                                                   ephemerals_.empty() ? nullptr : &bare_, infos_,
                                                   limits_.size, values ? &values_ : nullptr,
                                                   &vars_spliced);
        }
    }
    std::string sql;
    if (spliced) {
        sql = std::move(*spliced);
    } else {
        sql.assign(body);
        if (!refs.empty())
            sql = rewriting::rewrite_refs(std::move(sql), schema_, other_refs, ephemeral_refs,
                                          limits_.size);
        for (const auto& [s, t] : source_pairs)
            if (!sources_.contains(s)) return UnknownSource{std::string(model_name), s, t};
        if (!source_pairs.empty())
            sql = rewriting::rewrite_sources(std::move(sql), source_pairs, sources_,
                                             limits_.size);
    }

    // Every written form and every leftover begins with "{{".
    if (!vars_spliced && sql.find("{{") != npos) {
        if (const std::uint64_t limit = passes(); limit > 0) {
            auto run = substituter_for(effective_schema, uncached).run(sql, limit, model_name);
            if (run.leftover) return UnresolvedVariable{std::move(*run.leftover)};
        }
        if (const auto hit = scanner::first_var(sql))
            return UnresolvedVariable{std::string(hit->group[0].of(sql))};
    }

    if (!ephemeral_refs.empty()) {
        Visited visited;
        std::vector<StrPair> collected;
        for (const auto& n : ephemeral_refs) collect_recursive(n, ephemerals_, visited, collected);
        std::string with = "WITH ";
        for (std::size_t i = 0; i < collected.size(); ++i) {
            if (i > 0) with += ",\n";
            append_all(with, {collected[i].first, " AS (\n", collected[i].second, "\n)"});
        }
        const auto trimmed = text::trim_start(sql);
        if (starts_with_with_space(trimmed))
            append_all(with, {",\n", trimmed.substr(5)});
        else
            append_all(with, {"\n", sql});
        sql = std::move(with);
    }

    facts.name.assign(model_name);
    facts.target = concat({effective_schema, ".", model_name});
    facts.materialization.assign(materialization);
    facts.refs = std::move(refs);
    facts.sources = std::move(source_pairs);
    out.shared = std::make_shared<const ModelFacts>(std::move(facts));
    out.resolved_sql = std::move(sql);
    return out;
}

Result<ResolvedModel> resolve_sql(std::string_view body, std::string_view model_name,
                                  std::string_view schema, std::string_view materialization,
                                  const StrMap& vars, const SourceMap& sources, const StrList& refs,
                                  const StrPairList& source_pairs,
                                  const std::optional<parser::Header>& front_matter,
                                  const EphemeralMap& ephemerals) {
    Plan plan(schema, vars, sources, ephemerals);
    return plan.resolve(body, nullptr, model_name, materialization, refs, source_pairs,
                        front_matter);
}

}  // namespace tovik::compiler::resolver
