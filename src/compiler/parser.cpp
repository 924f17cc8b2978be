#include "compiler/parser.hpp"

#include <algorithm>
#include <utility>

#include "compiler/scanner.hpp"
#include "util/text.hpp"

namespace tovik::compiler::parser {

namespace {

std::string_view strip_run(std::string_view s, char c, bool front) {
    if (front) {
        while (!s.empty() && s.front() == c) s.remove_prefix(1);
    } else {
        while (!s.empty() && s.back() == c) s.remove_suffix(1);
    }
    return s;
}

std::string_view strip_quotes_both(std::string_view s) {
    while (!s.empty() && (s.front() == '"' || s.front() == '\'')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == '"' || s.back() == '\'')) s.remove_suffix(1);
    return s;
}

// The value as written, quotes stripped; a bracketed list is rejoined into
// `scratch` instead, and `built` says so.
std::string_view header_value(std::string_view value, std::string& scratch, bool& built) {
    built = !value.empty() && value.front() == '[' && value.back() == ']' && value.size() >= 2;
    if (built) {
        scratch.clear();
        bool first = true;
        text::for_each_piece(value.substr(1, value.size() - 2), ',', [&](std::string_view piece) {
            if (!first) scratch += ',';
            first = false;
            scratch += strip_quotes_both(text::trim(piece));
        });
        return scratch;
    }
    // Double quotes go first, then single quotes, each from both ends.
    value = strip_run(strip_run(value, '"', true), '"', false);
    return strip_run(strip_run(value, '\'', true), '\'', false);
}

// The one reading of the lines, for both forms the entries are kept in.
template <class Add>
void read_header(std::string_view header, Add&& add) {
    std::string scratch;
    std::size_t start = 0;
    while (start <= header.size()) {
        auto nl = header.find('\n', start);
        if (nl == std::string_view::npos) nl = header.size();
        auto line = header.substr(start, nl - start);
        start = nl + 1;
        // A carriage return before the line feed is part of the break; trimming
        // removes it along with other white space.
        line = text::trim(line);
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        auto key = text::trim(line.substr(0, colon));
        bool built = false;
        const auto value = header_value(text::trim(line.substr(colon + 1)), scratch, built);
        add(key, value, built);
    }
}

// The header's text, when there is one, and the body after it.
std::optional<std::string_view> locate(std::string_view raw_sql, std::string_view& body) {
    body = raw_sql;
    const auto t = text::trim_start(raw_sql);
    if (t.size() < 3 || t.substr(0, 3) != "---") return std::nullopt;
    const auto rest = t.substr(3);
    const auto close = rest.find("---");
    if (close == std::string_view::npos) return std::nullopt;
    body = rest.substr(close + 3);
    return rest.substr(0, close);
}

}  // namespace

std::string_view Header::value_of(const Entry& e) const {
    if (e.built_at == std::string_view::npos) return e.value;
    return std::string_view(built_).substr(e.built_at, e.built_size);
}

std::optional<std::string_view> Header::find(std::string_view key) const {
    for (auto it = more_.rbegin(); it != more_.rend(); ++it)
        if (it->key == key) return value_of(*it);
    for (std::size_t i = count_; i-- > 0;)
        if (first_[i].key == key) return value_of(first_[i]);
    return std::nullopt;
}

void Header::add(std::string_view key, std::string_view value, bool built) {
    Entry e{key, value, std::string_view::npos, 0};
    if (built) {
        e = {key, {}, built_.size(), value.size()};
        built_ += value;
    }
    if (count_ < kInline)
        first_[count_++] = e;
    else
        more_.push_back(e);
}

Sections split(std::string_view raw_sql) {
    Sections out;
    const auto header = locate(raw_sql, out.body);
    if (header) {
        auto& fm = out.front_matter.emplace();
        read_header(*header, [&](std::string_view key, std::string_view value, bool built) {
            fm.add(key, value, built);
        });
    }
    return out;
}

namespace {

// Room for `more` items, growing by at least doubling: an exact fit at every
// batch of a long text would copy the list again for each batch.
template <class List>
void make_room(List& list, std::size_t more) {
    if (list.size() + more > list.capacity())
        list.reserve(std::max(list.size() + more, 2 * list.capacity()));
}

}  // namespace

void append_names(std::string_view body, std::span<const scanner::Hit> hits, StrList& refs,
                  StrPairList& sources, StrList* variables) {
    std::size_t count[3] = {};
    for (const auto& hit : hits) ++count[static_cast<int>(hit.form)];
    make_room(refs, count[static_cast<int>(scanner::Form::Ref)]);
    make_room(sources, count[static_cast<int>(scanner::Form::Source)]);
    if (variables != nullptr) make_room(*variables, count[static_cast<int>(scanner::Form::Var)]);
    for (const auto& hit : hits) {
        switch (hit.form) {
            case scanner::Form::Ref:
                refs.emplace_back(hit.group[0].of(body));
                break;
            case scanner::Form::Source:
                sources.emplace_back(hit.group[0].of(body), hit.group[1].of(body));
                break;
            case scanner::Form::Var:
                if (variables != nullptr) variables->emplace_back(hit.group[0].of(body));
                break;
        }
    }
}

// The hits go through a buffer, so that a short text's lists are allocated
// once at their final size rather than grown by doubling from one.
void collect(std::string_view body, StrList& refs, StrPairList& sources, StrList* variables) {
    constexpr std::size_t kBuffer = 32;
    // Left uninitialized: zeroing the spans of every slot would cost more
    // than the scan of a typical model.
    union Slots {
        Slots() {}
        scanner::Hit hit[kBuffer];
    } slots;
    // Every form holds a "(" or a "{": a short text without either, the usual
    // one-liner, is settled without setting up the block search.
    if (body.size() < 64 &&
        std::none_of(body.begin(), body.end(), [](char c) { return c == '(' || c == '{'; }))
        return;
    scanner::Hit* hits = slots.hit;
    scanner::Cursor cursor(body);
    for (bool more = true; more;) {
        const std::size_t n = cursor.take(hits, kBuffer);
        more = n == kBuffer;
        append_names(body, {hits, n}, refs, sources, variables);
    }
}

ParsedSQL parse(std::string_view raw_sql) {
    std::string_view body;
    const auto header = locate(raw_sql, body);
    ParsedSQL out;
    if (header) {
        auto& map = out.front_matter.emplace();
        read_header(*header, [&](std::string_view key, std::string_view value, bool) {
            map.insert_or_assign(std::string(key), std::string(value));
        });
    }
    out.body.assign(body);
    collect(body, out.refs, out.sources, &out.variables);
    return out;
}

}  // namespace tovik::compiler::parser
