// Worker threads: the table of 64 slots.
//
// Who touches what:
// - The table mutex guards the search for a free slot, the filling of its
//   start block and every change of a slot's id (launch, close, close_all,
//   join_all).  It is a static object, constant-initialised: created with the
//   program, so no launch can race to create it, and it can never fail.
// - id, state and thread are atomics because worker_wait reads them without
//   the mutex while launches of other threads scan the table.
// - The start block is written under the mutex before the thread exists and
//   is not written again while the slot is occupied; the worker only reads it.
//
// Operations other than launch are meant for the thread that launched the
// slot (worker_wait, worker_close, worker_join) or for a moment when no other
// thread launches or joins (the *_all operations, which act on every slot of
// the process).
#include "threads/worker.h"

#include <atomic>

#include "threads/platform/platform.h"

namespace bandsolve {

namespace {

// The three waiting states that the sign of a Windows handle encodes.
enum WaitState : int {
    nothing_to_wait = 0,  // free, or no thread (handle 0)
    not_waited = 1,       // running or ended, not waited for (handle > 0)
    waited = 2,           // waited for, not closed (handle < 0)
};

// What the new thread receives.
struct StartBlock {
    detail::Trampoline trampoline = nullptr;
    detail::AnyRoutine routine = nullptr;
    int count = 0;
    void* args[MAX_WORKER_ARGS] = {};
};

struct WorkerSlot {
    std::atomic<int> id{-1};                         // 1..64 while occupied, -1 while free
    std::atomic<platform::Thread*> thread{nullptr};  // valid while state != nothing_to_wait
    std::atomic<int> state{nothing_to_wait};
    StartBlock start;
};

struct WorkerSlotTable {
    WorkerSlot slots[MAX_WORKER_SLOTS];
    int next = 1;  // where the next search begins; guarded by mutex
    platform::Mutex mutex;
};

constinit WorkerSlotTable g_table;

int wrap(int i) noexcept { return i % MAX_WORKER_SLOTS + 1; }  // 64 -> 1

// The slot an id names, or nullptr if the id names no occupied slot.
WorkerSlot* occupied_slot(int id) noexcept {
    if (id < 1 || id > MAX_WORKER_SLOTS) return nullptr;
    WorkerSlot& slot = g_table.slots[id - 1];
    return slot.id.load() == id ? &slot : nullptr;
}

// The thread's start routine: copies the argument references out of its
// start block before calling anything, then calls the routine with them.
// An exception escaping the routine ends the process (noexcept).
void worker_start(void* parameter) noexcept {
    const auto& block = *static_cast<const StartBlock*>(parameter);
    const detail::Trampoline trampoline = block.trampoline;
    const detail::AnyRoutine routine = block.routine;
    void* args[MAX_WORKER_ARGS + 1] = {};
    for (int i = 0; i < block.count; ++i) args[i] = block.args[i];
    trampoline(routine, args);
}

}  // namespace

namespace detail {

void launch_erased(int& slot_id, Trampoline trampoline, AnyRoutine routine, int count,
                   void* const* args) noexcept {
    if (trampoline == nullptr || routine == nullptr || count < 0 || count > MAX_WORKER_ARGS ||
        (count > 0 && args == nullptr)) {
        slot_id = 0;
        return;
    }
    int result = 0;
    {
        platform::MutexLock lock(g_table.mutex);
        // Search from the next slot, each slot once at most, wrapping 64 -> 1.
        int i = g_table.next;
        bool found = false;
        do {
            if (g_table.slots[i - 1].id.load() <= 0) {
                found = true;
                break;
            }
            i = wrap(i);
        } while (i != g_table.next);

        if (found) {
            g_table.next = wrap(i);
            WorkerSlot& slot = g_table.slots[i - 1];
            slot.id.store(i);
            slot.start.trampoline = trampoline;
            slot.start.routine = routine;
            slot.start.count = count;
            for (int a = 0; a < count; ++a) slot.start.args[a] = args[a];
            // The block is complete before the thread exists.
            platform::Thread* thread = platform::create_thread(&worker_start, &slot.start);
            if (thread != nullptr) {
                slot.thread.store(thread);
                slot.state.store(not_waited);
                result = i;
            } else {
                // Refused: free the slot again, so that it is not occupied for
                // ever by a routine that never runs, and tell the caller.
                slot.id.store(-1);
            }
        }
    }
    slot_id = result;
}

}  // namespace detail

void worker_wait(int slot_id) {
    WorkerSlot* slot = occupied_slot(slot_id);
    if (slot == nullptr || slot->state.load() != not_waited) return;
    platform::Thread* thread = slot->thread.load();
    if (thread == nullptr) return;
    platform::wait_thread(*thread);
    slot->state.store(waited);
}

void worker_close(int slot_id) {
    platform::Thread* thread = nullptr;
    {
        platform::MutexLock lock(g_table.mutex);
        WorkerSlot* slot = occupied_slot(slot_id);
        int expected = waited;
        if (slot == nullptr || !slot->state.compare_exchange_strong(expected, nothing_to_wait)) {
            return;  // not waited for yet (or nothing to close): left alone
        }
        thread = slot->thread.exchange(nullptr);
        slot->id.store(-1);
    }
    platform::close_thread(thread);
}

void worker_join(int slot_id) {
    worker_wait(slot_id);
    worker_close(slot_id);
}

void worker_wait_all() {
    platform::Thread* list[MAX_WORKER_SLOTS];
    int n = 0;
    {
        platform::MutexLock lock(g_table.mutex);
        for (WorkerSlot& slot : g_table.slots) {
            int expected = not_waited;
            if (slot.id.load() != -1 && slot.state.compare_exchange_strong(expected, waited)) {
                list[n++] = slot.thread.load();
            }
        }
    }
    if (n > 0) platform::wait_threads(list, n);
}

void worker_close_all() {
    platform::Thread* list[MAX_WORKER_SLOTS];
    int n = 0;
    {
        platform::MutexLock lock(g_table.mutex);
        for (WorkerSlot& slot : g_table.slots) {
            int expected = waited;
            if (slot.id.load() != -1 &&
                slot.state.compare_exchange_strong(expected, nothing_to_wait)) {
                list[n++] = slot.thread.exchange(nullptr);
                slot.id.store(-1);
            }
        }
    }
    for (int i = 0; i < n; ++i) platform::close_thread(list[i]);
}

void worker_join_all() {
    platform::Thread* list[MAX_WORKER_SLOTS];
    int n = 0;
    {
        platform::MutexLock lock(g_table.mutex);
        // Slots are freed here, before the wait.
        for (WorkerSlot& slot : g_table.slots) {
            if (slot.id.load() == -1) continue;
            if (slot.state.exchange(nothing_to_wait) != nothing_to_wait) {
                list[n++] = slot.thread.exchange(nullptr);
            }
            slot.id.store(-1);
        }
    }
    if (n > 0) {
        platform::wait_threads(list, n);
        for (int i = 0; i < n; ++i) platform::close_thread(list[i]);
    }
}

void shutdown_thread_runtime() {
    // The two table mutexes are static objects created with the program and
    // released with it: there is nothing to close, and the runtime stays
    // usable after this call.
}

std::size_t stack_room() noexcept { return platform::stack_room(); }

}  // namespace bandsolve
