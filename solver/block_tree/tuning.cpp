#include "solver/block_tree/tuning.h"

#include <atomic>
#include <mutex>

#include "bandsolve.h"

namespace bandsolve {
namespace {

// P1 is published last with release order, so a reader that sees P1 > 0
// sees P2 and P3 too.  The mutex makes two first solves entering at once
// agree on one set of values.
std::atomic<int> g_p1{0};
std::atomic<int> g_p2{0};
std::atomic<int> g_p3{0};
std::mutex g_init_mutex;

// Installs choose(team size)'s values unless the record is set; true when
// they were installed.  Whoever takes the mutex first installs all three of
// its values; everyone later sees them and installs nothing.
template <typename Choose>
bool init_once(Choose choose) noexcept {
    if (g_p1.load(std::memory_order_acquire) > 0) return false;
    std::lock_guard lock(g_init_mutex);
    if (g_p1.load(std::memory_order_relaxed) > 0) return false;
    int team = 0;
    get_team_size(&team);
    const TuningParameters values = choose(team);
    g_p2.store(values.p2, std::memory_order_relaxed);
    g_p3.store(values.p3, std::memory_order_relaxed);
    g_p1.store(values.p1, std::memory_order_release);
    return true;
}

}  // namespace

TuningParameters tuning_parameters() noexcept {
    TuningParameters t;
    t.p1 = g_p1.load(std::memory_order_acquire);
    t.p2 = g_p2.load(std::memory_order_relaxed);
    t.p3 = g_p3.load(std::memory_order_relaxed);
    return t;
}

void init_tuning_parameters() noexcept {
    init_once([](int) { return TuningParameters{24, 12, 8}; });
}

void init_tuning_parameters_complex() noexcept {
    init_once([](int team) {
        return team <= 2 ? TuningParameters{16, 8, 6} : TuningParameters{8, 6, 4};
    });
}

int install_block_parameter(int p1) noexcept {
    if (p1 < 1) return -1;
    return init_once([p1](int) { return TuningParameters{p1, 0, 0}; }) ? 1 : 0;
}

void detail::reset_tuning_parameters() noexcept {
    std::lock_guard lock(g_init_mutex);
    g_p1.store(0, std::memory_order_release);
    g_p2.store(0, std::memory_order_relaxed);
    g_p3.store(0, std::memory_order_relaxed);
}

}  // namespace bandsolve

extern "C" {

void set_block_parameter(const int* p1, int* status) {
    if (status == nullptr) return;
    *status = p1 == nullptr ? -1 : bandsolve::install_block_parameter(*p1);
}

void get_block_parameter(int* p1) {
    if (p1 != nullptr) *p1 = bandsolve::tuning_parameters().p1;
}

}  // extern "C"
