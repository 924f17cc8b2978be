#include "util/interrupt.hpp"

namespace tovik::util {
namespace {
std::atomic<StopCheck> g_check{nullptr};
}  // namespace

namespace detail {
std::atomic<std::int64_t> g_budget{kInterval};

void poll_now() {
    g_budget.store(kInterval, std::memory_order_relaxed);
    const StopCheck check = g_check.load(std::memory_order_acquire);
    if (check != nullptr && check()) throw Interrupted();
}
}  // namespace detail

void set_stop_check(StopCheck check) noexcept { g_check.store(check, std::memory_order_release); }

}  // namespace tovik::util
