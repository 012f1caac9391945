// The scalar arguments of the public entries, which C and Fortran callers
// pass by pointer.
#pragma once

#include <initializer_list>
#include <utility>

namespace bandsolve {

/// The position (1-based, as the entry's argument list counts) of the first
/// null pointer among `args`, or 0 when none is null.
inline int first_null(std::initializer_list<std::pair<const void*, int>> args) noexcept {
    for (const auto& [pointer, position] : args)
        if (pointer == nullptr) return position;
    return 0;
}

/// The body of a public entry: INFO = -position of the first null among the
/// scalar arguments `scalars`, before anything is read; otherwise INFO =
/// solve().  Without INFO to report in, nothing is done at all.
template <typename Solve>
void checked_entry(int* info, std::initializer_list<std::pair<const void*, int>> scalars,
                   Solve solve) noexcept {
    if (info == nullptr) return;
    const int position = first_null(scalars);
    *info = position != 0 ? -position : solve();
}

}  // namespace bandsolve
