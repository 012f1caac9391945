// The LAPACK-style entries band_pbsv_?: LAPACK's ?pbsv argument list and
// contract on top of the slab-pipelined solver, which, unlike the block-tree
// one, leaves a complete Cholesky factor to hand back in AB.  The complex
// entries solve Hermitian systems, as cpbsv and zpbsv do: the slab templates
// run with HermitianTraits.
//
// LAPACK's lower layout with LDAB = KD + 1 is our band storage of the
// matrix B = conj(A) (= A for the real types): row i of ours, A(i+k, i) for
// k = 0..kd, is column i of theirs.  So an 'L' array is factorised where it
// lies, B = V^H V, and V is exactly the L of A = L L^H in LAPACK's layout;
// the solve runs as B conj(x) = conj(b).  The 'U' layout, and 'L' with a
// larger LDAB, work on a copy in our storage that the entry allocates.
#pragma once

#include <algorithm>
#include <complex>
#include <memory>
#include <new>

#include "bandsolve.h"
#include "solver/slab/slab_solve.h"

namespace bandsolve {

namespace detail {

/// A LAPACK band array of order n: which triangle, kd and ldab.
struct LapackBand {
    bool upper;
    Index kd;
    Index ldab;
};

/// Calls move(ours, theirs) for every band element of our storage of half
/// bandwidth hb <= kd, with the positions of the element in our array and
/// in the caller's: 'L': column i of theirs is row i of ours; 'U': ours
/// (i, j), i <= j, is theirs at (j-1)*ldab + kd + i - j.
template <typename Move>
void for_each_band_element(const LapackBand& band, Index n, Index hb, Move move) noexcept {
    if (band.upper) {
        for (Index j = 1; j <= n; ++j)
            for (Index i = std::max<Index>(1, j - hb); i <= j; ++i)
                move((i - 1) * (hb + 1) + (j - i), (j - 1) * band.ldab + band.kd + i - j);
    } else {
        for (Index i = 1; i <= n; ++i) {
            const Index reach = std::min(hb, n - i);
            for (Index k = 0; k <= reach; ++k)
                move((i - 1) * (hb + 1) + k, (i - 1) * band.ldab + k);
        }
    }
}

/// The row of the pivot that failed in a factorisation that stopped: the
/// rows before it hold their factor, whose diagonal passes the test, and
/// the failing row holds its reduced pivot.  0 when no diagonal fails.
template <typename T, typename Tr>
int failing_pivot_row(const T* a, Index n, Index hb) noexcept {
    for (Index i = 1; i <= n; ++i)
        if (Tr::pivot_fails(a[(i - 1) * (hb + 1)], RealOf<T>(0))) return static_cast<int>(i);
    return 0;
}

/// y := conj(y) for the complex types; nothing for the real ones.
template <typename T>
void conjugate(T* y, Index n) noexcept {
    if constexpr (ElementTraits<T>::is_complex)
        for (Index i = 0; i < n; ++i) y[i] = std::conj(y[i]);
}

}  // namespace detail

/// ?pbsv: factorises the SPD (complex: Hermitian PD) band matrix held in
/// LAPACK's layout and solves A X = B; returns INFO as LAPACK defines it
/// (0, the order of the first leading minor that is not positive definite,
/// or -position of an illegal argument), or BANDSOLVE_INFO_NO_RESOURCES
/// when the copy of the band a layout needs cannot be allocated.
template <typename T>
int lapack_style_pbsv(const char* uplo, const int* n_arg, const int* kd_arg, const int* nrhs_arg,
                      T* ab, const int* ldab_arg, T* b, const int* ldb_arg) noexcept {
    using Tr = typename HermitianTraitsOf<T>::type;

    const char u = uplo != nullptr ? *uplo : '\0';
    const bool upper = u == 'U' || u == 'u';
    if (!upper && u != 'L' && u != 'l') return -1;
    if (n_arg == nullptr || *n_arg < 0) return -2;
    if (kd_arg == nullptr || *kd_arg < 0) return -3;
    if (nrhs_arg == nullptr || *nrhs_arg < 0) return -4;
    const Index n = *n_arg, kd = *kd_arg, nrhs = *nrhs_arg;
    if (n > 0 && ab == nullptr) return -5;
    if (ldab_arg == nullptr || *ldab_arg < kd + 1) return -6;
    if (n > 0 && nrhs > 0 && b == nullptr) return -7;
    if (ldb_arg == nullptr || *ldb_arg < std::max<Index>(n, 1)) return -8;
    const Index ldab = *ldab_arg, ldb = *ldb_arg;
    if (n == 0) return 0;

    // The team (or the calling thread alone, should the team's objects be
    // refused) and the copy are had before anything is touched.
    int team = 0;
    get_team_size(&team);
    TeamObjects objects(team);
    team = objects.team_for(team);

    const detail::LapackBand band{upper, kd, ldab};
    const bool in_place = !upper && ldab == kd + 1;
    // Diagonals beyond the matrix's last one hold nothing to copy.
    const Index hb = in_place ? kd : std::min(kd, n - 1);
    std::unique_ptr<T[]> copy;
    T* a = ab;
    if (!in_place) {
        copy.reset(new (std::nothrow) T[(n - 1) * (hb + 1) + 1]);
        if (!copy) return BANDSOLVE_INFO_NO_RESOURCES;
        a = copy.get();
        detail::for_each_band_element(band, n, hb,
                                      [&](Index ours, Index theirs) { a[ours] = ab[theirs]; });
    }

    const int failed = detail::run_slab_factor<T, Tr>(
        team, objects, a, static_cast<int>(n), static_cast<int>(hb), factor_slab_rows(0, hb));
    const int info = failed == 0 ? 0 : std::max(detail::failing_pivot_row<T, Tr>(a, n, hb), 1);
    if (!in_place)
        detail::for_each_band_element(band, n, hb,
                                      [&](Index ours, Index theirs) { ab[theirs] = a[ours]; });
    if (info != 0) return info;

    const Index r = solve_slab_rows(0);
    for (Index k = 0; k < nrhs; ++k) {
        T* const y = b + k * ldb;
        if (!upper) detail::conjugate(y, n);
        detail::run_slab_solve<T, Tr>(team, objects, a, static_cast<int>(n), static_cast<int>(hb),
                                      y, r);
        if (!upper) detail::conjugate(y, n);
    }
    return 0;
}

}  // namespace bandsolve
