// Helpers of the reliability tests: the solver entries of every family
// behind one call, planting failing pivots, holding worker slots and sync
// objects, and checking that a process ends a run with its tables free and
// no thread of ours left behind.
#pragma once

#include <gtest/gtest.h>

#include <complex>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bandsolve.hpp"
#include "support/band_systems.h"
#include "support/solve_testing.h"
#include "threads/sync.h"
#include "threads/team_size.h"
#include "threads/worker.h"

namespace bandsolve::testing {

/// The public entries, as the tests drive them.
enum class Entry {
    block_tree,  // band_solve_?
    slab_fused,  // band_factor_solve_?
    slab_split,  // band_factor_? then band_solve_with_factor_?
};
inline constexpr Entry ALL_ENTRIES[] = {Entry::block_tree, Entry::slab_fused, Entry::slab_split};

const char* entry_name(Entry e) noexcept;

template <typename T>
const char* type_name() noexcept {
    if constexpr (std::is_same_v<T, float>) return "s";
    if constexpr (std::is_same_v<T, double>) return "d";
    if constexpr (std::is_same_v<T, std::complex<float>>) return "c";
    return "z";
}

/// What one call leaves behind: INFO and the arrays it was given.
template <typename T>
struct Outcome {
    int info = 0;
    std::vector<T> a, b, work;
};

template <typename T>
bool same_bytes(const Outcome<T>& x, const Outcome<T>& y) {
    return x.info == y.info && same_bytes(x.a, y.a) && same_bytes(x.b, y.b) &&
           same_bytes(x.work, y.work);
}

/// Work area of a block-tree solve filled with bytes drawn from `fill_seed`:
/// its contents on entry must not matter.
template <typename T>
std::vector<T> scribbled_work(const BandSystem<T>& s, std::uint64_t fill_seed) {
    std::vector<T> w = s.zero_work();
    std::mt19937_64 gen(fill_seed);
    auto* bytes = reinterpret_cast<unsigned char*>(w.data());
    for (std::size_t i = 0; i < w.size() * sizeof(T); ++i)
        bytes[i] = static_cast<unsigned char>(gen());
    return w;
}

/// Runs one entry on copies of the system's arrays with the team size that
/// is current.  The slab entries take `slab_rows`; the block-tree entry a
/// work area scribbled from `fill_seed`.  slab_split stops after the
/// factorisation when it fails.
template <typename T>
Outcome<T> run_entry(Entry e, const BandSystem<T>& s, int slab_rows, std::uint64_t fill_seed = 0) {
    Outcome<T> o{0, s.a, s.b, {}};
    T* const a = o.a.empty() ? nullptr : o.a.data();
    T* const b = o.b.empty() ? nullptr : o.b.data();
    switch (e) {
        case Entry::block_tree:
            o.work = scribbled_work(s, fill_seed);
            o.info = band_solve(a, s.n, s.hb, b, s.nrhs, o.work.data());
            break;
        case Entry::slab_fused:
            o.info = band_factor_solve(a, s.n, s.hb, b, s.nrhs, slab_rows);
            break;
        case Entry::slab_split:
            o.info = band_factor(a, s.n, s.hb, slab_rows);
            if (o.info == 0) o.info = band_solve_with_factor<T>(a, s.n, s.hb, b, s.nrhs, slab_rows);
            break;
    }
    return o;
}

/// Makes the pivot of `row` fail wherever the elimination reaches it.  Real:
/// a negative diagonal, which every update only lowers further.  Complex:
/// row and column cleared, so that no update reaches the pivot and it stays
/// exactly 0 + 0i (a zero diagonal alone would be updated away).  Every
/// pivot eliminated before it belongs to a principal submatrix without that
/// row, which is still diagonally dominant, so no other pivot fails first.
template <typename T>
void plant_failing_pivot(BandSystem<T>& s, int row) {
    if constexpr (IsComplex<T>::value) {
        for (int q = std::max(1, row - s.hb); q < row; ++q) s.at(q, row) = T(0);
        for (int q = row; q <= std::min(s.n, row + s.hb); ++q) s.at(row, q) = T(0);
    } else {
        s.at(row, row) = -std::abs(s.at(row, row)) - T(1);
    }
}

/// Row inside a block of the block tree of an order-n matrix with blocks
/// of bs rows, chosen by level first (uniformly among the levels the tree
/// has), then block, then row.  Writes the level chosen.
int pick_row_by_level(int n, long long bs, std::mt19937_64& gen, int& level);

/// Threads of this process (the entries of /proc/self/task).
int process_thread_count();

/// Open descriptors of this process (the entries of /proc/self/fd, less the
/// one that reads it).
int process_descriptor_count();

/// The thread count a test starts from: taken after one thread has been
/// created and joined, since a sanitizer's runtime starts a helper thread of
/// its own at the first thread creation of the process.
int baseline_thread_count();

/// The thread count once threads that were joined have left the process
/// table: the kernel removes an ended thread's entry just after the join
/// returns, so a few re-reads (yielding in between) settle it.  Returns the
/// first count not above `expected`, or the last count read.
int settled_thread_count(int expected);

/// Expects both process tables to be entirely free: 64 sync objects can be
/// created at once (and a 65th cannot), and 64 workers can be launched at
/// once (and a 65th cannot).  Everything is released again.
void expect_tables_free();

/// A gate that held workers wait on until it opens.
class Gate {
  public:
    void open();
    void wait();

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;  // guarded by mutex_
};

/// Occupies worker slots with threads that wait on a gate, until release()
/// or destruction.  Takes as many of the requested slots as it can get.
class HeldWorkers {
  public:
    explicit HeldWorkers(int count);
    ~HeldWorkers();
    HeldWorkers(const HeldWorkers&) = delete;
    HeldWorkers& operator=(const HeldWorkers&) = delete;

    int held() const noexcept { return static_cast<int>(slots_.size()); }
    void release();

  private:
    Gate gate_;
    std::vector<int> slots_;
};

/// Occupies sync objects until destruction.
class HeldSyncObjects {
  public:
    explicit HeldSyncObjects(int count);
    ~HeldSyncObjects();
    HeldSyncObjects(const HeldSyncObjects&) = delete;
    HeldSyncObjects& operator=(const HeldSyncObjects&) = delete;

    int held() const noexcept { return static_cast<int>(ids_.size()); }

  private:
    std::vector<int> ids_;
};

/// An unsigned integer from the environment, or `fallback` when unset or
/// not a number.
std::uint64_t env_or(const char* name, std::uint64_t fallback);

}  // namespace bandsolve::testing
