// Text search and replace-all as the rewriting steps define them, and the size
// bound that every step's result must stay within.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>

namespace tovik::compiler::replace {

constexpr auto npos = std::string_view::npos;

inline bool is_quote(unsigned char c) { return c == '\'' || c == '"'; }

// A byte that may belong to a \w character: the ASCII word bytes and every byte
// of a multi-byte character. Over-approximating \w is all the checks below need.
inline bool nameish(unsigned char c) {
    return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
           (c >= 'a' && c <= 'z') || c == '_';
}

// Equality without a library call for the short texts compared per spot.
inline bool same_bytes(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    if (a.size() > 16) return std::memcmp(a.data(), b.data(), a.size()) == 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// find_first_of would call memchr once per byte of these short texts.
inline bool has_paren(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return c == '(' || c == ')'; });
}

// memchr, with a short inline probe first: in brace-dense text the next
// candidate is usually a few bytes away and the call would cost more.
inline const char* find_byte(const char* p, char c, std::size_t n) {
    const std::size_t probe = n < 16 ? n : 16;
    for (std::size_t i = 0; i < probe; ++i)
        if (p[i] == c) return p + i;
    if (probe == n) return nullptr;
    return static_cast<const char*>(std::memchr(p + probe, c, n - probe));
}

// memcpy for the few bytes of a name or a value, without a call: two
// overlapping moves cover every length up to 16.
inline void copy_short(char* d, std::string_view p) {
    const char* s = p.data();
    const std::size_t n = p.size();
    if (n >= 8 && n <= 16) {
        std::uint64_t a, b;
        std::memcpy(&a, s, 8);
        std::memcpy(&b, s + n - 8, 8);
        std::memcpy(d, &a, 8);
        std::memcpy(d + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        std::uint32_t a, b;
        std::memcpy(&a, s, 4);
        std::memcpy(&b, s + n - 4, 4);
        std::memcpy(d, &a, 4);
        std::memcpy(d + n - 4, &b, 4);
    } else if (n < 4) {
        for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
    } else {
        std::memcpy(d, s, n);
    }
}

inline bool has_brace(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return c == '{' || c == '}'; });
}

// The positions where c stands twice in a row, overlapping pairs included.
inline std::size_t count_pairs(std::string_view s, char c) {
    std::size_t count = 0;
    const char* p = s.data();
    const char* const last = p + s.size() - (s.empty() ? 0 : 1);
    while (p < last) {
        const auto* hit = static_cast<const char*>(std::memchr(p, c, static_cast<std::size_t>(last - p)));
        if (hit == nullptr) break;
        if (hit[1] == c) ++count;
        p = hit + 1;
    }
    return count;
}

inline std::size_t find_in(std::string_view hay, std::string_view needle, std::size_t from) {
    if (from > hay.size() || needle.size() > hay.size() - from) return npos;
    const void* p = ::memmem(hay.data() + from, hay.size() - from, needle.data(), needle.size());
    return p == nullptr ? npos : static_cast<std::size_t>(static_cast<const char*>(p) - hay.data());
}

// Repeated searches for one needle. glibc's memmem sets up tables on every call,
// which dominates when occurrences are close together, as placeholders are in a
// text that substitution keeps growing. For a needle led by a brace (rare in SQL)
// a first-byte scan is used instead; it is linear too when that byte occurs in
// the needle only in a leading run of at most two (a partial match then never
// hides another candidate start).
class Finder {
public:
    explicit Finder(std::string_view needle) : needle_(needle) {
        if (needle_.empty() || (needle_[0] != '{' && needle_[0] != '}')) return;
        std::size_t run = 1;
        while (run < needle_.size() && needle_[run] == needle_[0]) ++run;
        simple_ = run <= 2 && needle_.find(needle_[0], run) == npos;
    }

    std::size_t find(std::string_view hay, std::size_t from) const {
        if (!simple_) {
            const std::size_t at = find_in(hay, needle_, from);
            cost_ += kSearchWork * ((at == npos ? hay.size() : at) - std::min(from, hay.size()));
            return at;
        }
        const std::size_t m = needle_.size();
        const std::size_t start = from;
        while (from <= hay.size() && hay.size() - from >= m) {
            const char* p = find_byte(hay.data() + from, needle_[0], hay.size() - from - m + 1);
            if (p == nullptr) break;
            const auto i = static_cast<std::size_t>(p - hay.data());
            cost_ += kCandidateWork;
            if (equal_at(hay.data() + i)) {
                cost_ += i - start;
                return i;
            }
            from = i + 1;
        }
        cost_ += hay.size() - std::min(start, hay.size());
        return npos;
    }

    // The work of the searches so far, in units of a byte copied: a byte
    // scanned costs one, a candidate looked at or a byte of a general search
    // (whose speed depends on the needle and the text) costs more.
    std::uint64_t cost() const { return cost_; }
    static constexpr std::uint64_t kCandidateWork = 64, kSearchWork = 48;

private:
    bool equal_at(const char* p) const {
        const std::size_t m = needle_.size();
        if (m > 16) return std::memcmp(p, needle_.data(), m) == 0;
        for (std::size_t k = 1; k < m; ++k)
            if (p[k] != needle_[k]) return false;
        return true;
    }

    std::string_view needle_;
    bool simple_ = false;
    mutable std::uint64_t cost_ = 0;
};

// Repeated searches for a keyword that ends in a byte rarer than its first, such
// as the "(" of "ref(": the leftmost occurrence at or after `from` is the one
// whose last byte is leftmost, so memchr looks for that byte.
class TailFinder {
public:
    explicit TailFinder(std::string_view needle) : needle_(needle) {}

    std::size_t find(std::string_view hay, std::size_t from) const {
        const std::size_t m = needle_.size();
        if (m == 0) return from <= hay.size() ? from : npos;
        for (std::size_t q = from + m - 1; q < hay.size();) {
            const void* p = std::memchr(hay.data() + q, needle_.back(), hay.size() - q);
            if (p == nullptr) return npos;
            q = static_cast<std::size_t>(static_cast<const char*>(p) - hay.data());
            if (std::memcmp(hay.data() + q - (m - 1), needle_.data(), m - 1) == 0)
                return q - (m - 1);
            ++q;
        }
        return npos;
    }

private:
    std::string_view needle_;
};

// A replacement as the pieces it is joined from, views into the caller's names
// and maps: the one-scan paths then build no string but the result.
struct Rep {
    std::string_view part[5];

    std::size_t size() const {
        std::size_t n = 0;
        for (auto p : part) n += p.size();
        return n;
    }
    unsigned char back() const {
        for (std::size_t i = 5; i-- > 0;)
            if (!part[i].empty()) return static_cast<unsigned char>(part[i].back());
        return 0;
    }
};

inline void append_all(std::string& out, std::initializer_list<std::string_view> parts) {
    std::size_t n = out.size();
    for (auto p : parts) n += p.size();
    if (n > out.capacity()) out.reserve(std::max(n, 2 * out.capacity()));
    for (auto p : parts) out.append(p);
}

inline std::string concat(std::initializer_list<std::string_view> parts) {
    std::string out;
    append_all(out, parts);
    return out;
}

// Replace-all as the rewriting steps define it: occurrences are found left to
// right in the text as it stands, and inserted text is not searched again.
// Returns false, leaving `text` untouched, when the pattern does not occur, or
// when the result would grow past `limit` (then *over is set). Adds the work
// done to *cost (see Finder::cost).
bool replace_all(std::string& text, std::string_view pat, std::string_view rep,
                 std::size_t limit = std::numeric_limits<std::size_t>::max(),
                 bool* over = nullptr, std::uint64_t* cost = nullptr);

// A one-scan rewrite stands for a sequence of replacements; no text in that
// sequence exceeds the original plus every growing replacement. Past the bound
// the sequential path decides, step by step, whether one really does.
inline bool fits(std::size_t size, std::size_t growth, std::size_t bound) {
    return size <= bound && growth <= bound - size;
}

// The most bytes the working text may hold after any rewriting step: an eighth
// of the memory the process may use (physical memory, or a smaller address
// space or data limit), so that the few copies alive at once still fit.
std::size_t text_size_bound();

}  // namespace tovik::compiler::replace
