// Test seam: makes the platform refuse the k-th thread, mutex or event
// creation from now on, so that the recovery paths above can be exercised.
#pragma once

namespace bandsolve::platform {

enum class Resource { thread, mutex, event };

/// The `k`-th creation of `what` from now on (1 = the next one) fails; 0
/// disarms.  Each resource has one pending fault at a time.
void inject_failure(Resource what, int k) noexcept;
/// Disarms every pending fault.
void clear_injected_failures() noexcept;
/// Number of creations of `what` attempted since the process started.
long creation_count(Resource what) noexcept;

/// While `fail` is true, every query of the process's affinity mask fails,
/// as when the platform refuses it.
void fail_affinity_query(bool fail) noexcept;

}  // namespace bandsolve::platform
