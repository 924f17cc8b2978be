// The rewriting of refs and sources, and of placeholders with them, as one
// splice at the offsets the scanner found.
#include <cstring>

#include "compiler/rewriting.hpp"
#include "util/interrupt.hpp"

namespace tovik::compiler::rewriting {

namespace {

using namespace replace;

// Bytes of the "ref" and "source" keywords.
bool keyword_byte(unsigned char c) {
    return c == 'r' || c == 'e' || c == 'f' || c == 's' || c == 'o' || c == 'u' || c == 'c';
}

// Whether a hit is one of the two written forms that the steps replace: no
// white space anywhere, one kind of quote, and ", " between a source's names.
bool written_form(std::string_view body, const scanner::Hit& h) {
    const auto& g = h.group[0];
    const char q = body[g.begin - 1];
    if (body[g.end] != q) return false;
    if (h.form == scanner::Form::Ref) return g.begin == h.match.begin + 5 && g.end + 2 == h.match.end;
    const auto& t = h.group[1];
    return g.begin == h.match.begin + 8 && t.begin == g.end + 4 && t.end + 2 == h.match.end &&
           body[g.end + 1] == ',' && body[g.end + 2] == ' ' && body[t.begin - 1] == q &&
           body[t.end] == q;
}

}  // namespace

// The scanner's hits are exactly the written forms that the one-scan paths of
// rewriting.cpp find: every written form of a \w+ name is a hit, and the names
// of the steps are the hits' own. What the ref step's replacements insert cannot
// create a source form either, except by the same two ways as a ref form (a
// keyword completed at a replacement's end, or a bare name put between quotes
// or name bytes), which the checks below refuse for both keywords at once; and a
// replacement never reaches into another hit, so the source forms found in the
// original body are those that the source step meets.
std::optional<std::string> rewrite_from_hits(std::string_view body,
                                             const std::vector<scanner::Hit>& hits,
                                             std::string_view schema, const std::vector<char>* bare,
                                             const std::vector<const SourceInfo*>& infos,
                                             std::size_t bound,
                                             const std::vector<std::string_view>* var_values,
                                             bool* vars_spliced) {
    const std::size_t n = body.size();
    // The replacement of a hit that is a written form, with the name it ends in;
    // a Var hit has one only while the variables are spliced too.
    std::size_t ref_i = 0, source_j = 0, var_k = 0;
    bool splice_vars = var_values != nullptr && !has_brace(schema);
    auto rep_of = [&](const scanner::Hit& h, Rep& rep) {
        if (h.form == scanner::Form::Var) {
            if (!splice_vars) return false;
            rep = Rep{{(*var_values)[var_k++]}};
            return true;
        }
        const bool is_ref = h.form == scanner::Form::Ref;
        const std::size_t k = is_ref ? ref_i++ : source_j++;
        if (!written_form(body, h)) return false;
        if (is_ref) {
            const auto name = h.group[0].of(body);
            rep = bare != nullptr && (*bare)[k] ? Rep{{name}} : Rep{{schema, ".", name}};
        } else {
            const SourceInfo& info = *infos[k];
            const auto table = h.group[1].of(body);
            rep = info.database.empty() ? Rep{{info.schema, ".", table}}
                                        : Rep{{info.database, ".", info.schema, ".", table}};
        }
        return true;
    };

    // A written form ends in ")", which a replacement must then not hold; the
    // names never do.
    const bool schema_paren = has_paren(schema);
    SourceTraits traits;
    std::size_t size = n, grown = 0, prev_ref_end = npos;
    std::size_t var_size = 0, var_grown = 0;  // the part of size and grown that is the vars'
    Rep rep;
    for (const auto& h : hits) {
        if (!rep_of(h, rep)) continue;
        const std::size_t start = h.match.begin, end = h.match.end;
        const std::size_t len = end - start, r = rep.size();
        if (h.form == scanner::Form::Var) {
            var_size += r - len;
            if (r > len) var_grown += r - len;
            continue;
        }
        const int next = end < n ? static_cast<unsigned char>(body[end]) : -1;
        if (keyword_byte(rep.back()) && next >= 0 && (keyword_byte(next) || next == '('))
            return std::nullopt;
        if (h.form == scanner::Form::Source) {
            // The table is a name: only the database and schema can hold these.
            const auto t = traits.of(*infos[source_j - 1]);
            if (t.paren) return std::nullopt;
            splice_vars = splice_vars && !t.brace;
        } else if (!rep.part[1].empty()) {
            if (schema_paren) return std::nullopt;
            prev_ref_end = end;
        } else {  // a bare ephemeral name
            const bool before =
                (start > 0 && (is_quote(body[start - 1]) ||
                               nameish(static_cast<unsigned char>(body[start - 1])))) ||
                prev_ref_end == start;
            const bool after = next >= 0 && (is_quote(next) || nameish(next));
            if (before && after) return std::nullopt;
            prev_ref_end = end;
        }
        size = size - len + r;
        if (r > len) grown += r - len;
    }
    util::work(hits.size());
    if (!fits(n, grown, bound)) {
        // The refs' steps, other refs before ephemeral ones, then the sources'.
        StepSizes steps;
        ref_i = source_j = 0;  // var_k still counts the Var hits
        for (const auto& h : hits) {
            if (h.form == scanner::Form::Var || !rep_of(h, rep)) continue;
            const auto name = h.group[0].of(body);
            std::size_t step;
            if (h.form == scanner::Form::Ref) {
                step = steps.step_of(bare != nullptr && (*bare)[ref_i - 1] ? 1 : 0, name);
            } else {
                const auto table = h.group[1].of(body);
                const std::string len = std::to_string(name.size());
                step = steps.step_of(2, concat({len, ":", name, table}));
            }
            steps.add(step, body[h.group[0].begin - 1] == '"',
                      static_cast<std::int64_t>(rep.size()) -
                          static_cast<std::int64_t>(h.match.end - h.match.begin));
        }
        steps.check(n, bound);
    }
    // The rewritten text's spots are then exactly the Var hits, and with every
    // one spliced a brace-free value the first pass leaves no "{{": the passes
    // are done. The first pass's own bound applies to the rewritten text.
    splice_vars = splice_vars && var_k > 0 && count_pairs(body, '{') == var_k &&
                  fits(size, var_grown, bound);
    if (splice_vars) size += var_size;
    if (vars_spliced != nullptr) *vars_spliced = splice_vars;
    var_k = 0;

    // The pieces are short: copied in place rather than appended one by one.
    std::string out(size, '\0');
    char* d = out.data();
    auto put = [&d](std::string_view p) {
        copy_short(d, p);
        d += p.size();
    };
    std::size_t from = 0;
    ref_i = source_j = 0;
    for (const auto& h : hits) {
        if (!rep_of(h, rep)) continue;
        std::memcpy(d, body.data() + from, h.match.begin - from);
        d += h.match.begin - from;
        for (auto p : rep.part) put(p);
        from = h.match.end;
    }
    if (from < n) std::memcpy(d, body.data() + from, n - from);
    return out;
}

}  // namespace tovik::compiler::rewriting
