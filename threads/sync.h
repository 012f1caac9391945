// Mutexes and sync objects: the only means by which the threads of a solve
// coordinate.
//
// A sync object is a reusable meeting point for a known number of threads:
// every thread arrives, all wait, exactly one of them is elected to run a
// short serial step while the others stay blocked, then the others are let
// out one at a time.  Objects live in a fixed process-wide table of 64 and
// are named by an id 1..64; 0 means none.  Every operation on an id that
// names no allocated object does nothing (an out argument keeps its value).
//
// One barrier cycle for a team of n threads on an object armed with n:
//
//     sync_arrive(id);
//     int elected = 1;
//     sync_wait_elect(id, elected);
//     if (elected == 0) { serial_step(); sync_arm(other_id, n); sync_release_next(id); }
//
// Memory ordering: everything a thread wrote before sync_arrive is visible to
// the elected thread when it leaves sync_wait_elect, and everything the
// elected thread wrote before sync_release_next is visible to every other
// thread when it leaves sync_wait_elect.
#pragma once

namespace bandsolve {

namespace platform {
class Mutex;
}

/// Handle of a plain, non-recursive mutex; nullptr names none.
using MutexHandle = platform::Mutex*;

inline constexpr int MAX_SYNC_OBJECTS = 64;

/// Creates an unowned mutex and writes its handle, or nullptr when the
/// platform refuses.
void mutex_create(MutexHandle& handle);
/// Destroys the mutex and writes nullptr.  Nobody may hold or wait for it.
void mutex_destroy(MutexHandle& handle);
/// Blocks until the calling thread owns the mutex.  No-op on nullptr.
void mutex_lock(MutexHandle handle);
/// Releases a mutex the calling thread owns.  No-op on nullptr.
void mutex_unlock(MutexHandle handle);

/// Allocates a sync object and writes its id, or 0 when the table is full or
/// the platform refuses its event or mutex.  The search starts after the
/// last id handed out and wraps around.  Must be armed before use.
void sync_create(int& id);
/// Frees the object.  No thread may use it any more.
void sync_destroy(int id);
/// Starts a new cycle for `count` threads and clears any pending signal.
/// No thread may be inside any operation on the object meanwhile.
void sync_arm(int id, int count);
/// Counts the calling thread's arrival; the last expected arrival opens the
/// object.
void sync_arrive(int id);
/// Blocks until the object is open and it is this thread's turn.  The first
/// thread through is elected: it gets `elected` = 0 and keeps the turn until
/// it calls sync_release_next.  Every other thread gets 1 and passes the turn
/// on.  A thread that passes while the object is still closed (only possible
/// if someone signalled it outside the protocol) writes nothing.
void sync_wait_elect(int id, int& elected);
/// Passes the turn on to the next waiting thread.  Only the turn holder (the
/// elected thread after its serial step) calls it.
void sync_release_next(int id);
/// Waits for the turn and passes it on, electing nobody.
void sync_wait_pass(int id);
/// Lets a participant leave the current cycle without waiting; when
/// `also_arrive` is non-zero it also counts as arrived.
void sync_withdraw(int id, int also_arrive);
/// Re-arms the object under its own mutex.  The first re-arm after sync_arm
/// does not wait; later ones first wait (yielding the processor) until the
/// previous cycle has let every waiter out.
void sync_rearm(int id, int arrivals, int waiters);

}  // namespace bandsolve
