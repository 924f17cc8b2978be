// Lets the program that embeds the core stop a long call (Ctrl-C in the
// interpreter) without the core knowing who asks. The boundary installs one
// check per process; long loops report the work they do, and the check runs
// once per kInterval units, so short calls never pay for it and a stop is
// seen within a few milliseconds of work.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace tovik::util {

// Thrown from a loop when the installed check asks to stop. The reason is the
// check's own affair (the boundary has set its Python exception by then);
// unwinding frees the call's work like any other error.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Returns true when the running call must stop. It may run code of the
// embedding program, so it is called only where the core holds no state that
// such code could reach.
using StopCheck = bool (*)() noexcept;
void set_stop_check(StopCheck check) noexcept;

namespace detail {
// About a byte scanned or copied, or a character compared, per unit: some
// milliseconds of work between two checks on this kind of machine.
inline constexpr std::int64_t kInterval = std::int64_t{1} << 22;
// One counter for the process: the module's callers hold the interpreter lock,
// and relaxed loads and stores keep the fuzzers' threads (if any) defined.
extern std::atomic<std::int64_t> g_budget;
[[gnu::cold, gnu::noinline]] void poll_now();
}  // namespace detail

// Counts `units` of work and runs the stop check when enough has been done
// since it last ran; throws Interrupted when the check says so.
inline void work(std::size_t units) {
    const std::int64_t left =
        detail::g_budget.load(std::memory_order_relaxed) -
        static_cast<std::int64_t>(units < static_cast<std::size_t>(detail::kInterval)
                                      ? units
                                      : static_cast<std::size_t>(detail::kInterval));
    detail::g_budget.store(left, std::memory_order_relaxed);
    if (left < 0) [[unlikely]]
        detail::poll_now();
}

}  // namespace tovik::util
