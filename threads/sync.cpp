// Mutexes and sync objects: the table of 64 counted event objects.
//
// Who touches what in a SyncObject:
// - id: changed only under the table mutex (create, destroy); read by every
//   operation, without a lock, to check the id it is given.
// - event, mutex: set by create before the id is published and released by
//   destroy; used by the operations of a valid id.
// - arrivals: under the object's mutex (arrive, withdraw, rearm), or by
//   sync_arm while nobody uses the object.
// - gate, waiters: once the object has opened, only by the turn holder (the
//   thread that consumed the event's last signal); before that by the last
//   arrival under the object's mutex; by sync_arm while nobody uses the
//   object; by withdraw and rearm under the object's mutex.
// The counters are atomics because withdraw (which a team run calls when the
// platform refuses a worker) and rearm's drain loop read and write them
// beside the turn holder; in the barrier protocol itself the event alone
// orders them.
#include "threads/sync.h"

#include <atomic>

#include "threads/platform/platform.h"

namespace bandsolve {

namespace {

enum Gate : int {
    gate_closed = 0,
    gate_opened = 3,  // opened by the last arrival, nobody through yet
    gate_passed = 1,  // open, and the elected thread has gone through
};

enum ArmMode : int { armed = 1, rearmed = 2 };

struct SyncObject {
    std::atomic<int> id{-1};  // 1..64 while allocated, -1 while free
    platform::Event* event = nullptr;
    platform::Mutex* mutex = nullptr;
    std::atomic<int> arrivals{0};  // arrivals still expected before the object opens
    std::atomic<int> gate{gate_closed};
    std::atomic<int> waiters{0};  // threads of the cycle not yet let out, turn holder included
    std::atomic<int> arm_mode{armed};
};

struct SyncObjectTable {
    SyncObject objects[MAX_SYNC_OBJECTS];
    int next = 1;  // where the next search begins; guarded by mutex
    // Created with the program (constant-initialised), so that no create can
    // race to make it and it never fails.
    platform::Mutex mutex;
};

constinit SyncObjectTable g_table;

int wrap(int i) noexcept { return i % MAX_SYNC_OBJECTS + 1; }  // 64 -> 1

// The object an id names, or nullptr if the id names no allocated object.
SyncObject* allocated(int id) noexcept {
    if (id < 1 || id > MAX_SYNC_OBJECTS) return nullptr;
    SyncObject& object = g_table.objects[id - 1];
    return object.id.load() == id ? &object : nullptr;
}

// Passing the turn on.  With more than one waiter left, this thread leaves
// and wakes exactly one more; the last thread out signals nothing, so the
// event stays non-signalled for the next cycle.
void pass_turn(SyncObject& object) noexcept {
    if (object.waiters.load() > 1) {
        object.waiters.fetch_sub(1);
        object.event->signal();
    } else {
        object.waiters.store(0);
    }
}

// One arrival; the caller holds the object's mutex.  The last expected
// arrival writes gate 3 before it signals: the signal orders that write (and
// every arrival's earlier writes, through the object's mutex) before the
// elected thread's read.
void count_arrival(SyncObject& object) noexcept {
    if (object.arrivals.fetch_sub(1) - 1 == 0) {
        object.gate.store(gate_opened);
        object.event->signal();
    }
}

}  // namespace

// ---- Mutexes ----------------------------------------------------------------

void mutex_create(MutexHandle& handle) { handle = platform::create_mutex(); }

void mutex_destroy(MutexHandle& handle) {
    platform::destroy_mutex(handle);
    handle = nullptr;
}

void mutex_lock(MutexHandle handle) {
    if (handle != nullptr) handle->lock();
}

void mutex_unlock(MutexHandle handle) {
    if (handle != nullptr) handle->unlock();
}

// ---- Sync objects -----------------------------------------------------------

void sync_create(int& id) {
    int result = 0;
    {
        platform::MutexLock lock(g_table.mutex);
        // Search from the next index, each record once at most.
        int i = g_table.next;
        bool found = false;
        do {
            if (g_table.objects[i - 1].id.load() == -1) {
                found = true;
                break;
            }
            i = wrap(i);
        } while (i != g_table.next);

        if (found) {
            g_table.next = wrap(i);
            SyncObject& object = g_table.objects[i - 1];
            platform::Event* event = platform::create_event();
            platform::Mutex* mutex = platform::create_mutex();
            if (event != nullptr && mutex != nullptr) {
                object.event = event;
                object.mutex = mutex;
                object.id.store(i);  // published with its handles in place
                result = i;
            } else {
                // The platform refused a handle: the record stays free.
                platform::destroy_event(event);
                platform::destroy_mutex(mutex);
            }
        }
    }
    id = result;
}

void sync_destroy(int id) {
    platform::Event* event = nullptr;
    platform::Mutex* mutex = nullptr;
    {
        platform::MutexLock lock(g_table.mutex);
        SyncObject* object = allocated(id);
        if (object == nullptr) return;
        object->id.store(-1);
        event = object->event;
        mutex = object->mutex;
        object->event = nullptr;
        object->mutex = nullptr;
    }
    platform::destroy_event(event);
    platform::destroy_mutex(mutex);
}

void sync_arm(int id, int count) {
    SyncObject* object = allocated(id);
    if (object == nullptr) return;
    object->arrivals.store(count);
    object->gate.store(gate_closed);
    object->waiters.store(count);
    object->arm_mode.store(armed);
    // A signal left pending by earlier use would let a thread through a
    // closed object.
    object->event->reset();
}

void sync_arrive(int id) {
    SyncObject* object = allocated(id);
    if (object == nullptr) return;
    object->mutex->lock();
    count_arrival(*object);
    object->mutex->unlock();
}

void sync_wait_elect(int id, int& elected) {
    SyncObject* object = allocated(id);
    if (object == nullptr) return;
    // Returning from the wait gives this thread the turn.
    object->event->wait();
    switch (object->gate.load()) {
        case gate_opened:
            // First through: elected.  It keeps the turn, so nobody else
            // passes until it calls sync_release_next.
            object->gate.store(gate_passed);
            elected = 0;
            break;
        case gate_passed:
            elected = 1;
            pass_turn(*object);
            break;
        default:
            // Signalled outside the protocol while closed: nothing.
            break;
    }
}

void sync_release_next(int id) {
    SyncObject* object = allocated(id);
    if (object == nullptr) return;
    pass_turn(*object);
}

void sync_wait_pass(int id) {
    SyncObject* object = allocated(id);
    if (object == nullptr) return;
    object->event->wait();
    pass_turn(*object);
}

void sync_withdraw(int id, int also_arrive) {
    SyncObject* object = allocated(id);
    if (object == nullptr) return;
    object->mutex->lock();
    object->waiters.fetch_sub(1);
    if (also_arrive != 0) count_arrival(*object);
    object->mutex->unlock();
}

void sync_rearm(int id, int arrivals, int waiters) {
    SyncObject* object = allocated(id);
    if (object == nullptr) return;
    switch (object->arm_mode.load()) {
        case armed:
            // First re-arm after sync_arm: does not wait for the previous cycle.
            object->mutex->lock();
            object->arrivals.store(arrivals);
            object->gate.store(gate_closed);
            object->waiters.store(waiters);
            object->arm_mode.store(rearmed);
            object->event->reset();
            object->mutex->unlock();
            break;
        case rearmed:
            // Wait for the previous cycle to let every waiter out (the one
            // polling loop of the runtime), then re-arm if it is still drained.
            // The event is not reset: a drained cycle leaves it non-signalled.
            for (;;) {
                while (object->waiters.load() > 0) platform::yield_processor();
                object->mutex->lock();
                if (object->waiters.load() == 0) {
                    object->arrivals.store(arrivals);
                    object->gate.store(gate_closed);
                    object->waiters.store(waiters);
                    object->mutex->unlock();
                    return;
                }
                object->mutex->unlock();
            }
        default:
            break;
    }
}

}  // namespace bandsolve
