// Worker threads: runs a routine on a new thread with a list of references
// and joins such threads.  Threads live in a fixed process-wide table of 64
// slots named by an id 1..64; 0 means none.  Every operation on an id that
// names no occupied slot does nothing.
//
//     int slot = 0;
//     worker_launch(slot, kernel, a, n, info);   // kernel(float*&, int&, int&)
//     kernel(a, n, info);                        // the launcher's own share
//     worker_join(slot);
//
// The routine receives references to the launcher's variables, not copies:
// every variable passed must outlive the worker, which the launcher ensures by
// joining it before the variables go away.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace bandsolve {

inline constexpr int MAX_WORKER_ARGS = 52;
inline constexpr int MAX_WORKER_SLOTS = 64;

namespace detail {

using AnyRoutine = void (*)();
using Trampoline = void (*)(AnyRoutine routine, void* const* args);

/// Type-erased launch: takes a free slot, fills its start block with the
/// routine, its trampoline and the argument addresses, and starts the thread.
/// Writes the slot id, or 0 when no slot is free or the platform refuses to
/// create the thread (the slot is then free again).
void launch_erased(int& slot_id, Trampoline trampoline, AnyRoutine routine, int count,
                   void* const* args) noexcept;

template <typename... Params, std::size_t... I>
void call_with(AnyRoutine routine, void* const* args, std::index_sequence<I...>) {
    auto* typed = reinterpret_cast<void (*)(Params & ...)>(routine);
    typed(*static_cast<std::remove_reference_t<Params>*>(args[I])...);
}

template <typename... Params>
void trampoline(AnyRoutine routine, void* const* args) {
    call_with<Params...>(routine, args, std::index_sequence_for<Params...>{});
}

template <typename Param, typename Arg>
inline constexpr bool binds_as_reference =
    std::is_same_v<std::remove_cv_t<Param>, std::remove_cv_t<Arg>> &&
    (std::is_const_v<Param> || !std::is_const_v<Arg>);

}  // namespace detail

/// Starts a thread that calls routine(args...) with references to the given
/// variables, in order.  Writes the slot id, or 0 if no thread was started
/// (table full, or the platform refused the thread).
template <typename... Params, typename... Args>
void worker_launch(int& slot_id, void (*routine)(Params&...), Args&... args) noexcept {
    static_assert(sizeof...(Params) <= MAX_WORKER_ARGS, "at most 52 references per routine");
    static_assert(sizeof...(Params) == sizeof...(Args), "one reference per routine parameter");
    static_assert((detail::binds_as_reference<Params, Args> && ...),
                  "each argument must bind to the routine's reference parameter");
    void* args_array[sizeof...(Args) + 1] = {
        const_cast<void*>(static_cast<const volatile void*>(std::addressof(args)))..., nullptr};
    detail::launch_erased(slot_id, &detail::trampoline<Params...>,
                          reinterpret_cast<detail::AnyRoutine>(routine),
                          static_cast<int>(sizeof...(Args)), args_array);
}

/// Bytes of the calling thread's stack below the caller's frame, or 0 when
/// the platform cannot tell.
std::size_t stack_room() noexcept;

/// Waits for the slot's thread to end, unless it was already waited for.
void worker_wait(int slot_id);
/// Releases the thread of a waited-for slot and frees the slot; a slot not yet
/// waited for is left alone.
void worker_close(int slot_id);
/// worker_wait, then worker_close.
void worker_join(int slot_id);
/// Waits for every occupied slot's thread not yet waited for.
void worker_wait_all();
/// Closes and frees every waited-for slot.
void worker_close_all();
/// Frees every occupied slot, then waits for all their threads.
void worker_join_all();
/// Releases the runtime's process-wide table resources at the end of a run.
void shutdown_thread_runtime();

}  // namespace bandsolve
