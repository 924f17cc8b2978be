#include "compiler/replace.hpp"

#include <cstdint>

#include "util/interrupt.hpp"

#include <sys/resource.h>
#include <unistd.h>

namespace tovik::compiler::replace {

namespace {
// A replacement over a large text stops on a pending signal this often.
constexpr std::size_t kPollBytes = std::size_t{1} << 20;
}  // namespace

bool replace_all(std::string& text, std::string_view pat, std::string_view rep,
                 std::size_t limit, bool* over, std::uint64_t* cost) {
    const Finder finder(pat);
    struct Charge {
        const Finder& f;
        std::uint64_t* cost;
        std::uint64_t built = 0;
        ~Charge() {
            if (cost != nullptr) *cost += f.cost() + built;
        }
    } charge{finder, cost};
    std::size_t pos = finder.find(text, 0);
    if (pos == npos) return false;
    std::size_t size = text.size();
    const std::size_t growth = rep.size() > pat.size() ? rep.size() - pat.size() : 0;
    if (growth > 0 && text.size() / pat.size() > (limit - std::min(limit, text.size())) / growth) {
        // The result might pass the limit: count first, so that it is never built.
        std::size_t polled = 0;
        for (std::size_t p = pos; p != npos; p = finder.find(text, p + pat.size())) {
            if (p - polled > kPollBytes) {
                util::work(p - polled);
                polled = p;
            }
            size += rep.size() - pat.size();
            if (size > limit) {
                if (over != nullptr) *over = true;
                return false;
            }
        }
    }
    std::string out;
    out.reserve(size);
    std::size_t from = 0;
    std::size_t polled = 0;
    while (pos != npos) {
        if (pos - polled > kPollBytes) {
            util::work(pos - polled);
            polled = pos;
        }
        out.append(text, from, pos - from);
        out.append(rep);
        from = pos + pat.size();
        pos = finder.find(text, from);
    }
    out.append(text, from, npos);
    charge.built = out.size();
    text = std::move(out);
    return true;
}

std::size_t text_size_bound() {
    // The machine's memory does not change while the process runs, and asking
    // costs the kernel a walk over its block devices: read once per process.
    static const std::uint64_t physical = [] {
        const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
        if (pages > 0 && page > 0)
            return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
        return std::uint64_t{8} << 30;  // unknown: assume a small machine
    }();
    std::uint64_t total = physical;
    for (const int which : {RLIMIT_AS, RLIMIT_DATA}) {
        ::rlimit lim{};
        if (::getrlimit(which, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY)
            total = std::min<std::uint64_t>(total, lim.rlim_cur);
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(
        total / 8, std::numeric_limits<std::size_t>::max() / 4));
}

}  // namespace tovik::compiler::replace
