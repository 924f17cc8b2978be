#include "util/hash.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>

namespace tovik::util::detail {
namespace {

bool fill(void* buf, std::size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, GRND_NONBLOCK);
        if (got < 0) {
            if (errno == EINTR) continue;
            break;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    if (n == 0) return true;
    // A kernel without getrandom, or a pool not yet ready at boot.
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) continue;
            break;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    close(fd);
    return n == 0;
}

HashKey draw() {
    HashKey key{0, 0};
    if (fill(&key, sizeof key)) return key;
    // No random source at all: still differ between processes and runs, by
    // the clock, the process and where the loader put this library.
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    key.k0 ^= now ^ (static_cast<std::uint64_t>(getpid()) << 32);
    key.k1 ^= reinterpret_cast<std::uintptr_t>(&key) ^ reinterpret_cast<std::uintptr_t>(&draw);
    return key;
}

}  // namespace

const HashKey g_hash_key = draw();

}  // namespace tovik::util::detail
