// POSIX stand-ins for the Windows kernel services of the worker runtime.
// Every function is noexcept: pthread calls report errors by return value,
// allocations use nothrow new, and the one standard container (the affinity
// mask) is filled inside a try block.
#include "threads/platform/platform.h"

#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

#include "threads/platform/fault_injection.h"

namespace bandsolve::platform {

// ---- Fault injection --------------------------------------------------------

namespace {

struct FaultPlan {
    std::atomic<long> attempts{0};  // creations attempted so far
    std::atomic<long> fail_at{0};   // attempt number that fails; 0 = none
};

constinit FaultPlan g_faults[3];
constinit std::atomic<bool> g_affinity_fails{false};

FaultPlan& plan(Resource what) noexcept { return g_faults[static_cast<int>(what)]; }

// Counts one creation attempt of `what` and tells whether it is to fail.
bool creation_refused(Resource what) noexcept {
    FaultPlan& f = plan(what);
    const long attempt = f.attempts.fetch_add(1) + 1;
    long target = f.fail_at.load();
    return target != 0 && attempt == target && f.fail_at.compare_exchange_strong(target, 0);
}

}  // namespace

void inject_failure(Resource what, int k) noexcept {
    FaultPlan& f = plan(what);
    f.fail_at.store(k > 0 ? f.attempts.load() + k : 0);
}

void clear_injected_failures() noexcept {
    for (FaultPlan& f : g_faults) f.fail_at.store(0);
    g_affinity_fails.store(false);
}

long creation_count(Resource what) noexcept { return plan(what).attempts.load(); }

void fail_affinity_query(bool fail) noexcept { g_affinity_fails.store(fail); }

// ---- Mutex and event --------------------------------------------------------

Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }
void Mutex::lock() noexcept { pthread_mutex_lock(&mutex_); }
void Mutex::unlock() noexcept { pthread_mutex_unlock(&mutex_); }

Event::~Event() {
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&mutex_);
}

void Event::signal() noexcept {
    pthread_mutex_lock(&mutex_);
    signalled_ = true;
    pthread_cond_signal(&cond_);
    pthread_mutex_unlock(&mutex_);
}

void Event::wait() noexcept {
    pthread_mutex_lock(&mutex_);
    while (!signalled_) pthread_cond_wait(&cond_, &mutex_);
    signalled_ = false;  // auto-reset: this wait consumed the signal
    pthread_mutex_unlock(&mutex_);
}

void Event::reset() noexcept {
    pthread_mutex_lock(&mutex_);
    signalled_ = false;
    pthread_mutex_unlock(&mutex_);
}

Mutex* create_mutex() noexcept {
    if (creation_refused(Resource::mutex)) return nullptr;
    return new (std::nothrow) Mutex;
}

void destroy_mutex(Mutex* mutex) noexcept { delete mutex; }

Event* create_event() noexcept {
    if (creation_refused(Resource::event)) return nullptr;
    return new (std::nothrow) Event;
}

void destroy_event(Event* event) noexcept { delete event; }

// ---- Threads ----------------------------------------------------------------

// A thread and the record of its end.  pthread_join may be called only once,
// while a Windows thread handle may be waited for again and again and by
// several threads at once; the ended flag under a condition variable gives
// the latter, and close_thread does the one join.
class Thread {
  public:
    ThreadStart start = nullptr;
    void* parameter = nullptr;
    pthread_t handle{};
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ended_cond = PTHREAD_COND_INITIALIZER;
    bool ended = false;  // guarded by mutex

    ~Thread() {
        pthread_cond_destroy(&ended_cond);
        pthread_mutex_destroy(&mutex);
    }
};

namespace {

void* thread_entry(void* raw) {
    auto* thread = static_cast<Thread*>(raw);
    thread->start(thread->parameter);
    pthread_mutex_lock(&thread->mutex);
    thread->ended = true;
    pthread_cond_broadcast(&thread->ended_cond);
    pthread_mutex_unlock(&thread->mutex);
    return nullptr;  // exit code 0
}

}  // namespace

Thread* create_thread(ThreadStart start, void* parameter) noexcept {
    if (creation_refused(Resource::thread)) return nullptr;
    auto* thread = new (std::nothrow) Thread;
    if (thread == nullptr) return nullptr;
    thread->start = start;
    thread->parameter = parameter;
    if (pthread_create(&thread->handle, nullptr, &thread_entry, thread) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void wait_thread(Thread& thread) noexcept {
    pthread_mutex_lock(&thread.mutex);
    while (!thread.ended) pthread_cond_wait(&thread.ended_cond, &thread.mutex);
    pthread_mutex_unlock(&thread.mutex);
}

void wait_threads(Thread* const* threads, int count) noexcept {
    // Waiting for all of them is waiting for each in turn.
    for (int i = 0; i < count; ++i) wait_thread(*threads[i]);
}

void close_thread(Thread* thread) noexcept {
    if (thread == nullptr) return;
    pthread_join(thread->handle, nullptr);  // returns at once: the routine has ended
    delete thread;
}

void yield_processor() noexcept { sched_yield(); }

// ---- Stack ------------------------------------------------------------------

std::size_t stack_room() noexcept {
    // The lowest usable address of this thread's stack, looked up once per
    // thread: for the process's first thread the lookup reads the process's
    // memory map.
    thread_local const char* low = nullptr;
    thread_local bool known = false;
    if (!known) {
        known = true;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* addr = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attr, &addr, &size) == 0)
                low = static_cast<const char*>(addr);
            pthread_attr_destroy(&attr);
        }
    }
    const char* const here = static_cast<const char*>(__builtin_frame_address(0));
    return low != nullptr && here > low ? static_cast<std::size_t>(here - low) : 0;
}

// ---- Affinity ---------------------------------------------------------------

bool query_affinity_mask(std::vector<std::uint64_t>& mask) noexcept {
    if (g_affinity_fails.load()) return false;
    try {
        // The kernel's mask may be wider than any fixed cpu_set_t: grow the
        // set until the kernel accepts its size.
        for (int cpus = 1024; cpus <= (1 << 22); cpus *= 2) {
            cpu_set_t* set = CPU_ALLOC(cpus);
            if (set == nullptr) return false;
            const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
            CPU_ZERO_S(bytes, set);
            if (sched_getaffinity(getpid(), bytes, set) == 0) {
                // Bit counts do not depend on how the bytes group into words.
                mask.assign((bytes + 7) / 8, 0);
                std::memcpy(mask.data(), set, bytes);
                CPU_FREE(set);
                return true;
            }
            const int error = errno;
            CPU_FREE(set);
            if (error != EINVAL) return false;
        }
        return false;
    } catch (...) {
        return false;
    }
}

}  // namespace bandsolve::platform
