// Helpers shared by the tests.
#pragma once

#include <sys/mman.h>

#include <chrono>
#include <complex>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bandsolve::testing {

/// Ends the process with a failure message if it is still alive after the
/// given time, so that a hang fails the test instead of stalling the suite.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit, std::string what = "test");
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;  // guarded by mutex_
    std::thread thread_;
};

// Address space reserved but never backed except for the pages a test
// touches, so that arrays of more than 2^31 elements cost nothing.
template <typename T>
class SparseArray {
  public:
    explicit SparseArray(std::size_t elements) : bytes_(elements * sizeof(T)) {
        void* p = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<T*>(p);
    }
    ~SparseArray() {
        if (data_) munmap(data_, bytes_);
    }
    T* data() const { return data_; }

  private:
    std::size_t bytes_;
    T* data_ = nullptr;
};

/// 64-bit FNV-1a hash of raw bytes.
std::uint64_t fnv1a64(const void* data, std::size_t bytes) noexcept;

template <typename T>
std::uint64_t fnv1a64(const std::vector<T>& v) noexcept {
    return fnv1a64(v.data(), v.size() * sizeof(T));
}

/// Hex rendering of a hash, for messages and comparisons with literals.
std::string hex64(std::uint64_t h);

}  // namespace bandsolve::testing
