// Platform stand-ins of the worker runtime on POSIX: a plain mutex, an
// auto-reset wake-one event, threads with a wait that any number of threads
// may call, a processor yield, the room left on a thread's stack and the
// process's affinity mask.  Nothing here
// throws; creation reports a refusal by returning nullptr.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bandsolve::platform {

/// A plain non-recursive mutex.  Lock and unlock come from the same thread.
class Mutex {
  public:
    constexpr Mutex() noexcept = default;
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() noexcept;
    void unlock() noexcept;

  private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

/// Holds a Mutex locked for its own lifetime.
class MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) noexcept : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

/// Auto-reset, non-counting, wake-one event: signal() sets the flag and wakes
/// one waiter; wait() blocks until the flag is set and clears it; reset()
/// clears it.  A signal sent while one is pending is lost.  signal() happens
/// before the return of the wait() that consumes it.
class Event {
  public:
    constexpr Event() noexcept = default;
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void signal() noexcept;
    void wait() noexcept;
    void reset() noexcept;

  private:
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
    bool signalled_ = false;  // guarded by mutex_
};

/// A mutex or event of its own, or nullptr when the platform refuses (or a
/// fault is injected, see fault_injection.h).
Mutex* create_mutex() noexcept;
void destroy_mutex(Mutex* mutex) noexcept;
Event* create_event() noexcept;
void destroy_event(Event* event) noexcept;

/// An operating-system thread.  Its end can be waited for any number of
/// times, by any number of threads; close_thread releases it once.
class Thread;
using ThreadStart = void (*)(void* parameter) noexcept;

/// Starts start(parameter) on a new thread with the default stack size, or
/// returns nullptr when the platform refuses.  Everything the caller wrote
/// before the call is visible to the new thread.
Thread* create_thread(ThreadStart start, void* parameter) noexcept;
/// Blocks until the thread's start routine has returned.
void wait_thread(Thread& thread) noexcept;
/// Blocks until every listed thread has ended (count 0..64).
void wait_threads(Thread* const* threads, int count) noexcept;
/// Reaps the thread and releases it.  The caller must have waited for it and
/// no other thread may be waiting for it or use it afterwards.
void close_thread(Thread* thread) noexcept;

/// Gives up the processor (Sleep(0)).
void yield_processor() noexcept;

/// Bytes of the calling thread's stack below the caller's frame, or 0 when
/// the platform cannot tell.
std::size_t stack_room() noexcept;

/// Writes the process's affinity mask, of whatever width the system has, as
/// 64-bit words.  Returns false when the query fails.
bool query_affinity_mask(std::vector<std::uint64_t>& mask) noexcept;

}  // namespace bandsolve::platform
