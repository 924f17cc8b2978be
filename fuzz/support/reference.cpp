#include "reference.hpp"

#include <deque>
#include <unordered_map>

#include "errors/error.hpp"

namespace tovik::support {

std::string replace_every(std::string_view text, std::string_view pat, std::string_view rep) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t p; (p = text.find(pat, from)) != std::string_view::npos;
         from = p + pat.size())
        out.append(text, from, p - from).append(rep);
    return out.append(text, from, std::string_view::npos);
}

namespace {

void replace_bounded(std::string& text, const std::string& pat, std::string_view rep,
                     std::size_t bound) {
    std::string out = replace_every(text, pat, rep);
    if (out.size() > bound) throw SizeLimitExceeded("reference rewrite past its bound");
    text = std::move(out);
}

}  // namespace

std::string rewrite_refs(std::string text, std::string_view schema, const StrList& other,
                         const StrList& ephemeral, std::size_t bound) {
    const std::string s(schema);
    for (const auto& n : other) {
        replace_bounded(text, "ref('" + n + "')", s + "." + n, bound);
        replace_bounded(text, "ref(\"" + n + "\")", s + "." + n, bound);
    }
    for (const auto& n : ephemeral) {
        replace_bounded(text, "ref('" + n + "')", n, bound);
        replace_bounded(text, "ref(\"" + n + "\")", n, bound);
    }
    return text;
}

std::string rewrite_sources(std::string text, const StrPairList& pairs, const SourceMap& sources,
                            std::size_t bound) {
    for (const auto& [s, t] : pairs) {
        const SourceInfo& info = **sources.find(s);
        const std::string rep = info.database.empty()
                                    ? info.schema + "." + t
                                    : info.database + "." + info.schema + "." + t;
        replace_bounded(text, "source('" + s + "', '" + t + "')", rep, bound);
        replace_bounded(text, "source(\"" + s + "\", \"" + t + "\")", rep, bound);
    }
    return text;
}

std::optional<Passes> substitution_passes(std::string& text, const Entries& entries,
                                          std::uint64_t limit, std::uint64_t max_passes,
                                          std::size_t max_size) {
    std::deque<std::string> history;
    std::unordered_map<std::string_view, std::uint64_t> seen;
    for (std::uint64_t pass = 0; pass < limit; ++pass) {
        if (const auto it = seen.find(text); it != seen.end()) {
            const std::uint64_t start = it->second;
            text = history[start + (limit - start) % (pass - start)];
            return Passes{pass, true};
        }
        if (pass > max_passes || text.size() > max_size) return std::nullopt;
        history.push_back(text);
        seen.emplace(history.back(), pass);
        for (const auto& [k, v] : entries) {
            text = replace_every(text, "{{ " + std::string(k) + " }}", v);
            text = replace_every(text, "{{" + std::string(k) + "}}", v);
        }
        if (text == history.back()) return Passes{pass + 1, false};
    }
    return Passes{limit, false};
}

}  // namespace tovik::support
