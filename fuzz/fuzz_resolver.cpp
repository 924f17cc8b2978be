// Reference resolution and DDL wrapping of one model text, with the variables,
// sources, ephemeral models and pass limit taken from the input.
//
// Input: sections separated by the byte 0x1E, every one optional:
//   0 the model text
//   1 model name            (default "m")
//   2 schema                (default "analytics")
//   3 materialization       (default "view")
//   4 variables             entries separated by 0x1F, each "name" 0x1D "value"
//   5 sources               entries separated by 0x1F, each "name" 0x1D "database" 0x1D "schema"
//   6 ephemeral models      entries separated by 0x1F, each "key" 0x1D "body" 0x1D "dep,dep,..."
//   7 TOVIK_MAX_VAR_PASSES  (unset when the section is missing; up to a NUL byte)
//
// Variables whose values hold placeholders can grow the text exponentially, up
// to the resolver's own size bound of hundreds of MiB, and so can duplicate refs
// (or sources) when the schema (or the source's names) holds their written
// form; that is slow under the sanitizers and tells nothing new once it is past
// a few MiB. So when a value holds a "{" the pass limit is capped at 6, and an
// input whose worst-case growth exceeds 1 MiB is passed over after the check of
// the pass limit.
//
// Besides, the input's bytes pick one of the shapes where runaway substitution
// meets its bounds (placeholders that a value re-forms around itself, chains
// beside a growing value, an untouchable leftmost placeholder ahead of growth),
// which runs with tiny bounds and must then either be refused or give exactly
// what a plain replace loop gives.
//
// The record must repeat what the parse and the front matter say, an undeclared
// source must be the error exactly when there is one, no placeholder may be left
// in successful SQL, DDL must follow the template of the materialization, the
// one-call forms must agree with the step-by-step ones, and the rewrites and
// substitution passes must agree with the steps written as plain replace loops
// (support/reference), which share no code with the core. The pass limit must
// be read from the environment exactly as documented.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "common.hpp"
#include "compiler/batch.hpp"
#include "compiler/ddl.hpp"
#include "compiler/parser.hpp"
#include "compiler/resolver.hpp"
#include "compiler/rewriting.hpp"
#include "compiler/scanner.hpp"
#include "compiler/substitution.hpp"
#include "support/core_calls.hpp"
#include "support/reference.hpp"
#include "support/regex.hpp"

namespace {

using namespace tovik;
namespace resolver = tovik::compiler::resolver;
namespace rewriting = tovik::compiler::rewriting;
namespace substitution = tovik::compiler::substitution;
namespace ddl = tovik::compiler::ddl;
namespace support = tovik::support;

struct Input {
    std::string raw_sql, model_name = "m", schema = "analytics", materialization = "view";
    StrMap vars;
    std::unordered_map<std::string, SourceInfo> source_infos;
    SourceMap sources;  // views of source_infos
    EphemeralMap ephemerals;
    std::optional<std::string> passes;
};

std::string field(const std::vector<std::string_view>& f, std::size_t i) {
    return i < f.size() ? std::string(f[i]) : std::string();
}

Input decode(std::string_view data) {
    Input in;
    const auto sec = fuzz::split(data, '\x1e');
    in.raw_sql = sec[0];
    if (sec.size() > 1) in.model_name = sec[1];
    if (sec.size() > 2) in.schema = sec[2];
    if (sec.size() > 3) in.materialization = sec[3];
    auto entries = [&](std::size_t i) {
        std::vector<std::vector<std::string_view>> out;
        if (i < sec.size() && !sec[i].empty())
            for (auto e : fuzz::split(sec[i], '\x1f')) out.push_back(fuzz::split(e, '\x1d'));
        return out;
    };
    for (const auto& e : entries(4)) in.vars.insert_or_assign(field(e, 0), field(e, 1));
    for (const auto& e : entries(5))
        in.source_infos.insert_or_assign(field(e, 0), SourceInfo{field(e, 1), field(e, 2)});
    // The map's nodes stay where they are when the input is moved.
    for (const auto& [name, info] : in.source_infos) in.sources.insert_or_assign(name, &info);
    for (const auto& e : entries(6)) {
        EphemeralModel m{field(e, 0) + "_record", field(e, 1), {}};
        if (e.size() > 2 && !e[2].empty())
            for (auto d : fuzz::split(e[2], ',')) m.deps.emplace_back(d);
        in.ephemerals.insert_or_assign(field(e, 0), std::move(m));
    }
    if (sec.size() > 7) in.passes = sec[7];
    return in;
}

// Split at ",", trim, drop the empty pieces.
StrList list_value(std::string_view v) {
    StrList out;
    for (auto piece : fuzz::split(v, ',')) {
        while (fuzz::starts_with_space(piece)) piece.remove_prefix(fuzz::seq_len(piece[0]));
        while (fuzz::ends_with_space(piece)) {
            std::size_t i = piece.size() - 1;
            while ((static_cast<unsigned char>(piece[i]) & 0xC0) == 0x80) --i;
            piece.remove_suffix(piece.size() - i);
        }
        if (!piece.empty()) out.emplace_back(piece);
    }
    return out;
}

const std::string* lookup(const std::optional<StrMap>& fm, const char* key) {
    if (!fm) return nullptr;
    const auto it = fm->find(key);
    return it == fm->end() ? nullptr : &it->second;
}

std::string expected_ddl(const ResolvedModel& r) {
    const auto& t = r.facts().target;
    const auto& sql = r.resolved_sql;
    const auto& m = r.facts().materialization;
    if (m == "view") return "CREATE OR REPLACE VIEW " + t + " AS\n" + sql;
    if (m == "table") return "DROP TABLE IF EXISTS " + t + ";\nCREATE TABLE " + t + " AS\n" + sql;
    if (m == "ephemeral") return "";
    if (m == "materialized_view") return "CREATE MATERIALIZED VIEW IF NOT EXISTS " + t + " AS\n" + sql;
    if (r.unique_key) {
        const auto& k = *r.unique_key;
        return "DELETE FROM " + t + " WHERE " + k + " IN (SELECT " + k + " FROM (" + sql +
               "));\nINSERT INTO " + t + "\n" + sql;
    }
    return "INSERT INTO " + t + "\n" + sql;
}

bool known_materialization(std::string_view m) {
    return m == "view" || m == "table" || m == "ephemeral" || m == "materialized_view" ||
           m == "table_incremental";
}

bool same_record(const ResolvedModel& a, const ResolvedModel& b) {
    return a.facts() == b.facts() && a.resolved_sql == b.resolved_sql && a.macros == b.macros &&
           a.unique_key == b.unique_key;
}

// The documented reading of TOVIK_MAX_VAR_PASSES.
std::uint64_t expected_passes(const std::optional<std::string>& raw) {
    if (!raw) return 10;
    std::string_view s = *raw;
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return 10;
    unsigned __int128 v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return 10;
        v = v * 10 + static_cast<unsigned>(c - '0');
        if (v > UINT64_MAX) return 10;  // whatever follows, the value is unusable
    }
    return static_cast<std::uint64_t>(v);
}

// An upper bound of the working text's length after the ref and source
// rewrites and `passes` substitution passes.
//
// A rewrite inserts its replacement in place of every written form, and the
// forms that the replacement itself holds are found by the next rewrite of the
// same name: with duplicate refs and a schema holding "ref('n')" the text
// multiplies on every round. Every written form ends in ")", so a replacement
// without one adds none (apart from one that may begin just before it).
double growth_bound(const Input& in, const ParsedSQL& parsed, std::uint64_t passes) {
    const auto n_of = [](std::string_view s, char c) { return double(std::count(s.begin(), s.end(), c)); };
    const auto* fm_schema = [&]() -> const std::string* {
        if (!parsed.front_matter) return nullptr;
        const auto it = parsed.front_matter->find("schema");
        return it == parsed.front_matter->end() ? nullptr : &it->second;
    }();

    double len = double(in.raw_sql.size());
    double braces = n_of(in.raw_sql, '{');
    double max_name = 0;
    for (const auto& r : parsed.refs) max_name = std::max(max_name, double(r.size()));
    for (const auto& [src, t] : parsed.sources) max_name = std::max(max_name, double(t.size()));

    // Refs: occurrences found per round, times the forms each replacement adds.
    double forms = double(fuzz::count(parsed.body, "ref(")) + 1;
    const double ref_growth = n_of(in.schema, ')') + 1;
    const double ref_len = double(in.schema.size()) + max_name + 1;
    const auto rounds = [&](std::size_t n, double growth, double each) {
        // Without growth a later round only finds forms no earlier one took.
        if (growth == 1) n = std::min<std::size_t>(n, 1);
        double added = 0;
        for (std::size_t i = 0; i < n && len < 1e18; ++i) {
            added += forms;
            len += forms * each;
            forms *= growth;
        }
        return added;
    };
    double inserted = rounds(parsed.refs.size(), ref_growth, ref_len);
    braces += inserted * n_of(in.schema, '{');

    // Sources, the same way, with what the ref replacements brought in.
    double source_growth = 1, source_len = 0, source_braces = 0;
    for (const auto& [name, info] : in.source_infos) {
        source_growth = std::max(source_growth, n_of(info.database, ')') + n_of(info.schema, ')') + 1);
        source_len = std::max(source_len, double(info.database.size() + info.schema.size()) + max_name + 2);
        source_braces = std::max(source_braces, n_of(info.database, '{') + n_of(info.schema, '{'));
    }
    forms = double(fuzz::count(parsed.body, "source(")) + 1 +
            inserted * double(fuzz::count(in.schema, "source("));
    inserted = rounds(parsed.sources.size(), source_growth, source_len);
    braces += inserted * source_braces;

    // Substitution: each placeholder (two braces at least) gives way to a value
    // that may hold more.
    std::vector<std::string_view> values;
    for (const auto& [k, v] : in.vars) values.push_back(v);
    values.push_back(fm_schema ? std::string_view(*fm_schema) : std::string_view(in.schema));
    double m = 1, k = 0, max_len = 0;
    for (const auto v : values) {
        m = std::max(m, n_of(v, '{'));
        k += n_of(v, '{') > 0;
        max_len = std::max(max_len, double(v.size()));
    }
    // Brace-free values cannot add placeholders, so the passes after the first
    // few only use up the ones the text already has: 64 rounds bound them all.
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(passes, 64) && len < 1e18; ++i) {
        len += braces * max_len * std::max(k, 1.0);
        braces *= std::pow(m, k);
    }
    return len;
}

bool same_error(const TovikError& a, const TovikError& b) { return message(a) == message(b); }

void check_wrap(const ResolvedModel& r) {
    const auto c = ddl::wrap_ddl(r);
    const ModelFacts& f = r.facts();
    if (!known_materialization(f.materialization)) {
        FUZZ_CHECK(!c.ok());
        const auto* e = std::get_if<InvalidMaterialization>(&c.error());
        FUZZ_CHECK(e && e->model == f.name && e->materialization == f.materialization);
        return;
    }
    FUZZ_CHECK(c.ok());
    const auto& m = c.value();
    FUZZ_CHECK(m.facts() == f && m.compiled_sql() == r.resolved_sql);
    FUZZ_CHECK(m.ddl() == expected_ddl(r));
}

const re::Pattern& leftover_pattern() {
    static const re::Pattern p("\\{\\{" TOVIK_RE_SPACE "*(" TOVIK_RE_WORD "+)" TOVIK_RE_SPACE "*\\}\\}");
    return p;
}

std::string outcome_of(const std::string& text) {
    std::string_view g[2];
    if (leftover_pattern().first_match(text, g, 2)) return "error " + std::string(g[1]);
    return "text " + text;
}

// The variables as a model's resolution sees them, "schema" included.
substitution::VarEntries schema_entries(const Input& in, const ParsedSQL& parsed) {
    const auto* fm_schema = lookup(parsed.front_matter, "schema");
    substitution::VarEntries entries(in.vars.begin(), in.vars.end());
    if (!in.vars.count("schema"))
        entries.emplace_back("schema", fm_schema ? std::string_view(*fm_schema) : std::string_view(in.schema));
    return entries;
}

// A rewrite's result, or "!" when it is refused for size.
template <typename F>
std::string or_refused(F&& rewrite) {
    try {
        return "=" + rewrite();
    } catch (const SizeLimitExceeded&) {
        return "!";
    }
}

// The rewrites against the plain replace loops, on the parse's own refs and
// (declared) sources, with a size bound that both must apply alike.
void check_fast_rewrites(const Input& in, const ParsedSQL& parsed, std::uint64_t passes) {
    StrList other, ephemeral;
    for (const auto& r : parsed.refs) (in.ephemerals.count(r) ? ephemeral : other).push_back(r);
    StrPairList declared;
    for (const auto& p : parsed.sources)
        if (in.sources.contains(p.first)) declared.push_back(p);
    const std::size_t bound = parsed.body.size() + in.schema.size() * 3;
    FUZZ_CHECK(or_refused([&] {
                   return rewriting::rewrite_refs(parsed.body, in.schema, other, ephemeral, bound);
               }) == or_refused([&] {
                   return support::rewrite_refs(parsed.body, in.schema, other, ephemeral, bound);
               }));
    FUZZ_CHECK(or_refused([&] {
                   return rewriting::rewrite_sources(parsed.body, declared, in.sources, bound);
               }) == or_refused([&] {
                   return support::rewrite_sources(parsed.body, declared, in.sources, bound);
               }));

    // The splice at the scanner's offsets against both steps' replace loops,
    // when every source is declared (otherwise it is never tried); and with
    // the placeholders spliced too, against the passes' replace loop after.
    if (declared.size() != parsed.sources.size()) return;
    std::vector<compiler::scanner::Hit> all = support::scan(parsed.body), hits;
    std::vector<char> bare;
    std::vector<const SourceInfo*> infos;
    for (const auto& h : all) {
        if (h.form == compiler::scanner::Form::Var) continue;
        hits.push_back(h);
        if (h.form == compiler::scanner::Form::Ref)
            bare.push_back(in.ephemerals.count(std::string(h.group[0].of(parsed.body))) != 0);
        else
            infos.push_back(*in.sources.find(h.group[0].of(parsed.body)));
    }
    std::optional<std::string> spliced;
    const auto* bare_of = in.ephemerals.empty() ? nullptr : &bare;
    std::string rewritten;
    const auto seq = or_refused([&] {
        spliced = rewriting::rewrite_from_hits(parsed.body, hits, in.schema, bare_of, infos, bound);
        rewritten = support::rewrite_sources(
            support::rewrite_refs(parsed.body, in.schema, other, ephemeral, bound), declared,
            in.sources, bound);
        return rewritten;
    });
    if (spliced) FUZZ_CHECK(seq == "=" + *spliced);
    if (seq == "!" || passes == 0) return;

    substitution::Limits limits;
    limits.size = bound;
    substitution::Substituter sub(schema_entries(in, parsed), limits);
    std::vector<std::string_view> values;
    for (const auto& h : all) {
        if (h.form != compiler::scanner::Form::Var) continue;
        const auto* v = sub.brace_free_value(
            parsed.body.substr(h.match.begin + 2, h.match.end - h.match.begin - 4));
        if (v == nullptr) return;
        values.push_back(*v);
    }
    bool vars_spliced = false;
    const auto both = rewriting::rewrite_from_hits(parsed.body, all, in.schema, bare_of, infos,
                                                   bound, &values, &vars_spliced);
    FUZZ_CHECK(both.has_value() == spliced.has_value());
    if (!both) return;
    if (!vars_spliced) {
        FUZZ_CHECK(*both == *spliced);
        return;
    }
    // After the splice no placeholder is left for the passes to take.
    if (!support::substitution_passes(rewritten, sub.order(), passes, 1200, std::size_t{1} << 20))
        return;
    FUZZ_CHECK(rewritten == *both && outcome_of(rewritten) == "text " + *both);
}

// The substitution against a plain replace loop, in the map order that the run
// chose, where the loop is small enough to run.
void check_substitution(const Input& in, const ParsedSQL& parsed, std::uint64_t passes) {
    std::string text = parsed.body;
    try {
        const auto run = support::substitute(text, schema_entries(in, parsed), passes, in.model_name);
        FUZZ_CHECK(run.passes <= passes);
        std::string literal = parsed.body;
        const auto ref = support::substitution_passes(literal, run.order, passes);
        if (!ref) return;
        if (run.leftover) {
            FUZZ_CHECK("error " + *run.leftover == outcome_of(literal));
        } else {
            FUZZ_CHECK(text == literal);
            // Passes cut short by a period are counted as the remainder.
            if (!ref->periodic) FUZZ_CHECK(run.passes == ref->run);
        }
    } catch (const SizeLimitExceeded&) {
    }
}

// One substituter reused, as a batch reuses it, after a run on another text:
// the second run must give what a new one gives.
void check_reuse(const Input& in, const ParsedSQL& parsed, std::uint64_t passes) {
    substitution::VarEntries entries(in.vars.begin(), in.vars.end());
    entries.emplace_back("schema", in.schema);
    auto outcome = [&](auto&& run) {
        std::string text = parsed.body;
        try {
            const substitution::SubstitutionRun r = run(text);
            if (r.leftover) return "error " + *r.leftover;
            return outcome_of(text) + " after " + std::to_string(r.passes);
        } catch (const SizeLimitExceeded&) {
            return std::string("!");
        }
    };
    substitution::Substituter sub(entries, substitution::Limits{});
    try {
        std::string other = parsed.body + "{{ schema }}" + parsed.body;
        sub.run(other, passes, in.model_name);
    } catch (const SizeLimitExceeded&) {
    }
    const std::string reused = outcome([&](std::string& t) { return sub.run(t, passes, "m"); });
    const std::string fresh = outcome([&](std::string& t) {
        return support::substitute(t, entries, passes, "m");
    });
    FUZZ_CHECK(reused == fresh);
}

// ---- shapes where the bounds decide ------------------------------------------

// The input's bytes as a stream of small choices (0 once they run out).
class Choices {
public:
    explicit Choices(std::string_view s) : s_(s) {}
    std::size_t pick(std::size_t n) {
        return i_ < s_.size() ? static_cast<unsigned char>(s_[i_++]) % n : 0;
    }

private:
    std::string_view s_;
    std::size_t i_ = 0;
};

void check_shapes(std::string_view data) {
    Choices c(data);
    static const char* const kPieces[] = {
        "{{", "}}", "{", "}", " ", "x", "xxxxxxxxxxxxxxxx", "ok", "{{ a }}", "{{a}}", "{{ b }}",
        "{{ z }}", " z ", "z", "{{ zz }}", "{{ a-b }}", "{{a b}}", "{{ p0 }}", "{{ p1 }}",
        "{{ p3 }}", "{{  a }}", "{{ a}}", "{{ {a }}", "{{{a}}", "{{ a} }}", "{{}}}"};
    static const char* const kKeys[] = {"a", "b", "z", "a-b", "a b", " a ", "p0", "zz",
                                        "{a", "a}", "{", "}", "{ a }"};
    auto pieces = [&](std::size_t most) {
        std::string s;
        for (std::size_t n = c.pick(most + 1); n > 0; --n) s += kPieces[c.pick(std::size(kPieces))];
        return s;
    };
    std::vector<std::pair<std::string, std::string>> vars;
    auto set = [&](std::string k, std::string v) {
        for (auto& e : vars)
            if (e.first == k) return void(e.second = std::move(v));
        vars.emplace_back(std::move(k), std::move(v));
    };
    std::string body;
    const std::size_t levels = c.pick(40);
    switch (c.pick(4)) {
        case 0:  // a placeholder that its value re-forms, one level a pass
            body = pieces(2) + std::string(2 * levels, '{') + "{{ z }}" + std::string(2 * levels, '}');
            set("z", c.pick(2) ? " z " : "z");
            break;
        case 1:  // a chain beside a growing value
            body = pieces(1) + "{{ p0 }}" + pieces(2);
            set("p0", "{{ p1 }}");
            set("p1", c.pick(2) ? "{{ p2 }}" : "{{p2}}");
            set("p2", c.pick(2) ? "{{ p3 }}" : "ok");
            set("p3", pieces(2));
            break;
        case 2:  // a leftmost placeholder that nothing touches, ahead of growth
            body = pieces(1) + "{{ zz }}" + pieces(3);
            break;
        default:
            body = pieces(4);
            break;
    }
    // The growing value: it brings its own placeholder back, once or twice.
    const std::string grow = kKeys[c.pick(std::size(kKeys))];
    set(grow, pieces(1) + "{{ " + grow + " }}" + pieces(2) + (c.pick(2) ? "{{" + grow + "}}" : ""));
    for (std::size_t n = c.pick(3); n > 0; --n) set(kKeys[c.pick(std::size(kKeys))], pieces(3));
    // Many keys, some with braces, most of them absent from the text: a pass
    // must find the few that occur, in their order.
    if (c.pick(4) == 0) {
        const std::size_t many = 50 + c.pick(200);
        for (std::size_t i = 0; i < many; ++i) {
            const std::string k = (c.pick(3) == 0 ? "{m" : "m") + std::to_string(i);
            set(k, c.pick(8) == 0 ? "{{ " + k + " }}" + pieces(1) : pieces(1));
        }
        body += "{{ m" + std::to_string(c.pick(many)) + " }}{{ {m" + std::to_string(c.pick(many)) +
                " }}";
    }
    body += pieces(2);

    static const std::uint64_t kPasses[] = {1, 2, 3, 7, 10, 25, 60, 1100, UINT64_MAX, UINT64_MAX - 1};
    const std::uint64_t limit = kPasses[c.pick(std::size(kPasses))];
    substitution::Limits limits;
    limits.size = std::size_t{64} << c.pick(8);
    limits.work = std::uint64_t{1} << (10 + c.pick(12));
    limits.first_try = c.pick(2) ? 0 : limits.work / 8;
    limits.window = std::size_t{1} << c.pick(10);
    substitution::VarEntries entries;
    for (const auto& [k, v] : vars) entries.emplace_back(k, v);
    std::string text = body;
    support::Substituted run;
    try {
        run = support::substitute(text, entries, limit, "m", limits);
    } catch (const SizeLimitExceeded&) {
        return;  // refusing is always allowed; only an answer must be right
    }
    std::string literal = body;
    if (!support::substitution_passes(literal, run.order, limit)) return;
    FUZZ_CHECK((run.leftover ? "error " + *run.leftover : outcome_of(text)) == outcome_of(literal));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_shapes(fuzz::as_text(data, size));
    const Input in = decode(fuzz::as_text(data, size));
    if (in.passes) {
        setenv("TOVIK_MAX_VAR_PASSES", in.passes->c_str(), 1);
    } else {
        unsetenv("TOVIK_MAX_VAR_PASSES");
    }
    std::uint64_t passes = expected_passes(in.passes ? std::optional<std::string>(in.passes->c_str())
                                                     : std::nullopt);
    FUZZ_CHECK(resolver::max_var_passes() == passes);

    const auto parsed = compiler::parser::parse(in.raw_sql);
    const auto* fm_mat = lookup(parsed.front_matter, "materialization");
    const std::string materialization = fm_mat ? *fm_mat : in.materialization;

    bool may_grow = false;
    for (const auto& [k, v] : in.vars) may_grow = may_grow || v.find('{') != std::string::npos;
    if (const auto* s = lookup(parsed.front_matter, "schema")) may_grow = may_grow || s->find('{') != std::string::npos;
    may_grow = may_grow || in.schema.find('{') != std::string::npos;
    if (may_grow && passes > 6) {
        passes = 6;
        setenv("TOVIK_MAX_VAR_PASSES", "6", 1);
    }
    if (growth_bound(in, parsed, passes) > double(1 << 20)) return 0;
    check_fast_rewrites(in, parsed, passes);
    check_substitution(in, parsed, passes);
    check_reuse(in, parsed, passes);

    // A result too large to afford is refused as a whole; that is no fault.
    std::optional<Result<ResolvedModel>> resolved;
    try {
        resolved.emplace(compiler::batch::resolve_text(in.raw_sql, in.model_name, in.schema,
                                                       in.materialization, in.vars, in.sources,
                                                       in.ephemerals));
    } catch (const SizeLimitExceeded&) {
        return 0;
    }
    const auto& r = *resolved;

    const StrPair* undeclared = nullptr;
    for (const auto& p : parsed.sources) {
        if (!in.sources.contains(p.first)) {
            undeclared = &p;
            break;
        }
    }

    if (!r.ok()) {
        if (const auto* e = std::get_if<UnknownSource>(&r.error())) {
            FUZZ_CHECK(undeclared != nullptr);
            FUZZ_CHECK(e->model == in.model_name && e->source == undeclared->first &&
                       e->table == undeclared->second);
        } else {
            const auto* v = std::get_if<UnresolvedVariable>(&r.error());
            FUZZ_CHECK(v != nullptr && undeclared == nullptr && !v->name.empty());
        }
    } else {
        FUZZ_CHECK(undeclared == nullptr);
        const auto& m = r.value();
        const ModelFacts& f = m.facts();
        const auto* fm_schema = lookup(parsed.front_matter, "schema");
        FUZZ_CHECK(f.name == in.model_name);
        FUZZ_CHECK(f.target == (fm_schema ? *fm_schema : in.schema) + "." + in.model_name);
        FUZZ_CHECK(f.materialization == materialization);
        FUZZ_CHECK(f.refs == parsed.refs && f.sources == parsed.sources);
        const auto* desc = lookup(parsed.front_matter, "description");
        const auto* key = lookup(parsed.front_matter, "unique_key");
        const auto* enabled = lookup(parsed.front_matter, "enabled");
        const auto* tags = lookup(parsed.front_matter, "tags");
        const auto* macros = lookup(parsed.front_matter, "macros");
        FUZZ_CHECK(f.description == (desc ? std::optional<std::string>(*desc) : std::nullopt));
        FUZZ_CHECK(m.unique_key == (key ? std::optional<std::string>(*key) : std::nullopt));
        FUZZ_CHECK(f.enabled == !(enabled && *enabled == "false"));
        if (fuzz::valid_utf8(in.raw_sql)) {
            FUZZ_CHECK(f.tags == (tags ? list_value(*tags) : StrList{}));
            FUZZ_CHECK(m.macros == (macros ? list_value(*macros) : StrList{}));
        }

        bool injects = false;
        for (const auto& ref : parsed.refs) injects = injects || in.ephemerals.count(ref) > 0;
        if (injects) {
            FUZZ_CHECK(m.resolved_sql.rfind("WITH ", 0) == 0);
        } else {
            // Injected bodies are taken as they stand; everything else must be resolved.
            static const re::Pattern leftover("\\{\\{" TOVIK_RE_SPACE "*(" TOVIK_RE_WORD
                                              "+)" TOVIK_RE_SPACE "*\\}\\}");
            std::string_view g[2];
            FUZZ_CHECK(!leftover.first_match(m.resolved_sql, g, 2));
        }
        check_wrap(m);
    }

    // The one-call forms agree with the steps they stand for.
    std::optional<Result<CompiledModel>> compiled;
    try {
        compiled.emplace(compiler::batch::compile_text(in.raw_sql, in.model_name, in.schema,
                                                       in.materialization, in.vars, in.sources,
                                                       in.ephemerals));
    } catch (const SizeLimitExceeded&) {
        return 0;
    }
    if (!r.ok()) {
        FUZZ_CHECK(!compiled->ok() && same_error(compiled->error(), r.error()));
    } else {
        const auto wrapped = ddl::wrap_ddl(r.value());
        FUZZ_CHECK(compiled->ok() == wrapped.ok());
        if (wrapped.ok()) {
            FUZZ_CHECK(compiled->value().ddl() == wrapped.value().ddl());
            FUZZ_CHECK(compiled->value().compiled_sql() == wrapped.value().compiled_sql());
        } else {
            FUZZ_CHECK(same_error(compiled->error(), wrapped.error()));
        }
    }

    // A batch of the same model twice gives that model's outcome twice.
    const std::vector<NamedText> twice{{in.model_name, in.raw_sql},
                                                            {in.model_name, in.raw_sql}};
    std::optional<Result<std::vector<ResolvedModel>>> batch;
    try {
        batch.emplace(support::batch_resolve(twice, in.schema, in.materialization, in.vars,
                                                     in.sources, in.ephemerals));
    } catch (const SizeLimitExceeded&) {
        return 0;
    }
    FUZZ_CHECK(batch->ok() == r.ok());
    if (r.ok()) {
        FUZZ_CHECK(batch->value().size() == 2);
        for (const auto& b : batch->value()) FUZZ_CHECK(same_record(b, r.value()));
    } else {
        FUZZ_CHECK(same_error(batch->error(), r.error()));
    }
    return 0;
}
