// Running one parallel solve on a team of threads: the objects a solve owns
// (one mutex, two sync objects) and the launch, run and join of its workers.
#pragma once

#include <array>

#include "threads/sync.h"
#include "threads/team_size.h"
#include "threads/worker.h"

namespace bandsolve {

/// The two sync objects a team run's barriers use in turn.
using SyncIds = std::array<int, 2>;

/// The mutex and the two barrier objects of one team run, created together
/// and released when the run ends.  A run of one thread needs none of them:
/// its barriers run their serial steps directly and its locks are no-ops.
/// So they are created only for a larger team, and when the platform or the
/// tables refuse any of them, none is kept and the run falls back to the
/// calling thread alone (team_for), whose result has the same bits.
class TeamObjects {
  public:
    explicit TeamObjects(int team) noexcept {
        if (team <= 1) return;
        mutex_create(mutex_);
        sync_create(ids_[0]);
        sync_create(ids_[1]);
        if (!shared()) release();
    }
    ~TeamObjects() { release(); }
    TeamObjects(const TeamObjects&) = delete;
    TeamObjects& operator=(const TeamObjects&) = delete;

    /// Whether a team of more than one thread can run on these objects.
    bool shared() const noexcept { return mutex_ != nullptr && ids_[0] != 0 && ids_[1] != 0; }
    /// The team a run of `requested` threads gets: all of them when the
    /// objects are there, else the calling thread alone.
    int team_for(int requested) const noexcept { return shared() ? requested : 1; }
    MutexHandle& mutex() noexcept { return mutex_; }
    SyncIds& ids() noexcept { return ids_; }

  private:
    void release() noexcept {
        mutex_destroy(mutex_);
        sync_destroy(ids_[0]);
        sync_destroy(ids_[1]);
        ids_ = {0, 0};
    }

    MutexHandle mutex_ = nullptr;
    SyncIds ids_{0, 0};
};

/// The barrier between the sweeps of a team kernel, as one thread sees it:
/// two sync objects used in turn, selected by the thread's phase.  All
/// threads meet; the elected one runs the serial step, arms the other object
/// for the next barrier and only then lets the others go, so nobody can reach
/// the next barrier before it is armed.  The serial step runs while every
/// other thread is held, so the fields it writes need no lock.
class TeamBarrier {
  public:
    TeamBarrier(const SyncIds& ids, const int& team) noexcept : ids_(ids), team_(team) {}

    /// 1 or 2: which object the next barrier uses, and which error flag the
    /// current sweep sets.
    int phase() const noexcept { return phase_; }
    /// Moves to the other object; the caller does it after the barrier and
    /// any error check of the sweep just ended.
    void toggle() noexcept { phase_ = 3 - phase_; }

    template <typename Serial>
    void wait(Serial serial) const noexcept {
        const int id = ids_[phase_ - 1];
        if (id == 0) {  // a run of the calling thread alone
            serial();
            return;
        }
        sync_arrive(id);
        int elected = 1;
        sync_wait_elect(id, elected);
        if (elected == 0) {
            serial();
            sync_arm(ids_[2 - phase_], team_);
            sync_release_next(id);
        }
    }

  private:
    const SyncIds& ids_;
    const int& team_;  // read only in the serial step: see run_team
    int phase_ = 1;
};

/// Runs kernel(args...) on a team of `team` threads: arms the first barrier
/// object, launches team - 1 workers, runs the kernel on the calling thread
/// and joins the workers in launch order.  `team` must be one of the
/// references in args: it is the count every barrier is armed with.
/// Without barrier objects (ids 0) the calling thread runs alone.
///
/// When the platform refuses a worker, the solve goes on with the threads
/// that did start: `team` is lowered before anyone can pass the first
/// barrier, and the missing arrivals are withdrawn from it, so no barrier
/// waits for a thread that does not exist.  The result is the same, since it
/// does not depend on the team size.
template <typename... Params, typename... Args>
void run_team(int& team, const SyncIds& ids, void (*kernel)(Params&...), Args&... args) noexcept {
    if (team < 1 || ids[0] == 0 || ids[1] == 0) team = 1;
    if (team > MAX_TEAM_SIZE) team = MAX_TEAM_SIZE;
    const int requested = team;
    sync_arm(ids[0], requested);
    std::array<int, MAX_TEAM_SIZE> slots{};
    int launched = 0;
    while (launched < requested - 1) {
        worker_launch(slots[launched], kernel, args...);
        if (slots[launched] == 0) break;
        ++launched;
    }
    if (launched < requested - 1) {
        // The workers read `team` only in the serial step of a barrier, which
        // cannot run before the last withdrawal below has been counted.
        team = launched + 1;
        for (int missing = requested - 1 - launched; missing > 0; --missing)
            sync_withdraw(ids[0], 1);
    }
    kernel(args...);
    for (int i = 0; i < launched; ++i) worker_join(slots[i]);
}

}  // namespace bandsolve
