#include "reliability/reliability_support.h"

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <map>
#include <thread>

#include "solver/block_tree/block_tree.h"

namespace bandsolve::testing {

const char* entry_name(Entry e) noexcept {
    switch (e) {
        case Entry::block_tree:
            return "band_solve";
        case Entry::slab_fused:
            return "band_factor_solve";
        case Entry::slab_split:
            return "band_factor+band_solve_with_factor";
    }
    return "?";
}

int pick_row_by_level(int n, long long bs, std::mt19937_64& gen, int& level) {
    const Index blocks = block_count(n, bs);
    const int top = top_level(n, bs);
    // Blocks of each level; blocks above the top level are eliminated there.
    std::map<int, std::vector<Index>> by_level;
    for (Index k = 1; k <= blocks; ++k) by_level[std::min(block_level(k), top)].push_back(k);
    auto it = by_level.begin();
    std::advance(it, std::uniform_int_distribution<std::size_t>(0, by_level.size() - 1)(gen));
    level = it->first;
    const auto& ks = it->second;
    const Index k = ks[std::uniform_int_distribution<std::size_t>(0, ks.size() - 1)(gen)];
    const Index first = (k - 1) * bs + 1;
    const Index last = std::min<Index>(k * bs, n);
    return static_cast<int>(std::uniform_int_distribution<Index>(first, last)(gen));
}

namespace {

/// Entries of a directory other than . and .., or -1 if it cannot be read.
int directory_entry_count(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

}  // namespace

int process_thread_count() { return directory_entry_count("/proc/self/task"); }

int process_descriptor_count() {
    const int count = directory_entry_count("/proc/self/fd");
    return count < 0 ? count : count - 1;
}

int baseline_thread_count() {
    long tid = 0;
    std::thread([&] { tid = syscall(SYS_gettid); }).join();
    // Once its entry has gone, only threads that stay are counted.
    const std::string entry = "/proc/self/task/" + std::to_string(tid);
    for (int attempt = 0; attempt < 100000 && access(entry.c_str(), F_OK) == 0; ++attempt)
        sched_yield();
    return process_thread_count();
}

int settled_thread_count(int expected) {
    int count = process_thread_count();
    for (int attempt = 0; attempt < 100000 && count > expected; ++attempt) {
        sched_yield();
        count = process_thread_count();
    }
    return count;
}

void Gate::open() {
    {
        std::lock_guard lock(mutex_);
        open_ = true;
    }
    cv_.notify_all();
}

void Gate::wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
}

namespace {
void wait_at_gate(Gate& gate) { gate.wait(); }
}  // namespace

HeldWorkers::HeldWorkers(int count) {
    for (int i = 0; i < count; ++i) {
        int slot = 0;
        worker_launch(slot, &wait_at_gate, gate_);
        if (slot == 0) break;
        slots_.push_back(slot);
    }
}

void HeldWorkers::release() {
    gate_.open();
    for (int slot : slots_) worker_join(slot);
    slots_.clear();
}

HeldWorkers::~HeldWorkers() { release(); }

HeldSyncObjects::HeldSyncObjects(int count) {
    for (int i = 0; i < count; ++i) {
        int id = 0;
        sync_create(id);
        if (id == 0) break;
        ids_.push_back(id);
    }
}

HeldSyncObjects::~HeldSyncObjects() {
    for (int id : ids_) sync_destroy(id);
}

void expect_tables_free() {
    {
        HeldSyncObjects all(MAX_SYNC_OBJECTS + 1);
        EXPECT_EQ(all.held(), MAX_SYNC_OBJECTS) << "sync objects still allocated";
    }
    HeldWorkers all(MAX_WORKER_SLOTS + 1);
    EXPECT_EQ(all.held(), MAX_WORKER_SLOTS) << "worker slots still occupied";
}

std::uint64_t env_or(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    return end != nullptr && *end == '\0' ? v : fallback;
}

}  // namespace bandsolve::testing
