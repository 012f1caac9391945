#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>

namespace bandsolve::testing {

Watchdog::Watchdog(std::chrono::seconds limit, std::string what) {
    thread_ = std::thread([this, limit, what = std::move(what)] {
        std::unique_lock lock(mutex_);
        if (!done_cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s still running after %lld s: hang\n", what.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(3);
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
}

std::uint64_t fnv1a64(const void* data, std::size_t bytes) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < bytes; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::string hex64(std::uint64_t h) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

}  // namespace bandsolve::testing
