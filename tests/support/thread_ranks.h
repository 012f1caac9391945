// Ranks of a distributed solve played by threads of one process, with a
// transport between them, so that the distributed solve runs in the
// ordinary test build, under the sanitizers, and without MPI.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "solver/distributed/transport.h"

namespace bandsolve::testing {

class ThreadRanks {
  public:
    explicit ThreadRanks(int ranks)
        : ranks_(ranks), boxes_(std::size_t(ranks) * ranks), accum_(max_values) {}

    /// Runs body(transport) on one thread per rank and joins them all.
    void run(const std::function<void(distributed::Transport&)>& body) {
        std::vector<Link> links;
        links.reserve(ranks_);
        for (int r = 0; r < ranks_; ++r) links.emplace_back(*this, r);
        std::vector<std::thread> threads;
        for (int r = 0; r < ranks_; ++r) threads.emplace_back([&, r] { body(links[r]); });
        for (auto& t : threads) t.join();
    }

  private:
    static constexpr int max_values = 16;

    class Link : public distributed::Transport {
      public:
        Link(ThreadRanks& world, int rank) : world_(world), rank_(rank) {}
        int rank() const noexcept override { return rank_; }
        int ranks() const noexcept override { return world_.ranks_; }
        void exchange(const distributed::Message* sends, int send_count,
                      const distributed::Message* recvs, int recv_count) noexcept override {
            for (int i = 0; i < send_count; ++i) world_.post(rank_, sends[i]);
            for (int i = 0; i < recv_count; ++i) world_.take(rank_, recvs[i]);
        }
        void max(int* values, int count) noexcept override { world_.reduce(values, count); }
        bool any(bool flag) noexcept override {
            int v = flag ? 1 : 0;
            world_.reduce(&v, 1);
            return v != 0;
        }

      private:
        ThreadRanks& world_;
        int rank_;
    };

    using Box = std::deque<std::vector<char>>;
    Box& box(int from, int to) { return boxes_[std::size_t(from) * ranks_ + to]; }

    void post(int from, const distributed::Message& m) {
        const char* p = static_cast<const char*>(m.data);
        std::lock_guard lock(mutex_);
        box(from, m.peer).emplace_back(p, p + m.bytes);
        cv_.notify_all();
    }
    void take(int to, const distributed::Message& m) {
        std::unique_lock lock(mutex_);
        Box& q = box(m.peer, to);
        cv_.wait(lock, [&] { return !q.empty(); });
        // A message of another size than the receiver expects means the two
        // ranks' plans disagree.
        if (q.front().size() != m.bytes) {
            ADD_FAILURE() << "rank " << to << " expected " << m.bytes << " bytes from rank "
                          << m.peer << ", got " << q.front().size();
            std::abort();
        }
        std::memcpy(m.data, q.front().data(), m.bytes);
        q.pop_front();
    }
    // values := the largest over the ranks, once all of them have called.
    // Results alternate between two buffers: a rank can only overwrite one
    // after every rank has read it.
    void reduce(int* values, int count) {
        std::unique_lock lock(mutex_);
        const unsigned long long generation = generation_;
        if (arrived_ == 0) std::fill(accum_.begin(), accum_.end(), std::numeric_limits<int>::min());
        for (int i = 0; i < count; ++i) accum_[i] = std::max(accum_[i], values[i]);
        if (++arrived_ == ranks_) {
            arrived_ = 0;
            result_[generation % 2] = accum_;
            ++generation_;
            cv_.notify_all();
        } else {
            cv_.wait(lock, [&] { return generation_ != generation; });
        }
        std::copy_n(result_[generation % 2].begin(), count, values);
    }

    const int ranks_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Box> boxes_;             // guarded by mutex_
    std::vector<int> accum_;             // guarded by mutex_
    std::vector<int> result_[2];         // guarded by mutex_
    int arrived_ = 0;                    // guarded by mutex_
    unsigned long long generation_ = 0;  // guarded by mutex_
};

}  // namespace bandsolve::testing
