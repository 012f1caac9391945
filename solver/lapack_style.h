// The LAPACK-style entries band_pbsv_?: LAPACK's ?pbsv argument list and
// contract on top of the slab-pipelined solver, which, unlike the block-tree
// one, leaves a complete Cholesky factor to hand back in AB.
//
// Our band storage is LAPACK's lower layout with LDAB = hb + 1, so a real
// 'L' array with LDAB = KD + 1 is factorised where it lies.  Every other
// case works on a copy in our storage that the entry allocates and frees:
// the 'U' layout, a larger LDAB, and the complex types, whose systems are
// Hermitian (A(j, i) = conj A(i, j)) and whose copy is held as Hermitian<C>
// elements.
#pragma once

#include <algorithm>
#include <complex>
#include <memory>
#include <new>
#include <type_traits>

#include "bandsolve.h"
#include "solver/slab_solve.h"

namespace bandsolve {

namespace detail {

/// The element type the solver runs on for the caller's element type T.
template <typename T>
struct PbsvElement {
    using type = T;
};
template <typename C>
struct PbsvElement<std::complex<C>> {
    using type = Hermitian<C>;
};

/// Position of element (i, i+k) of the matrix in a LAPACK band array, for
/// 1 <= i and 0 <= k <= kd: 'U' holds A(i, j), i <= j, at
/// (j-1)*ldab + kd + i - j; 'L' holds A(j, i) at (i-1)*ldab + j - i, which
/// is the adjoint of A(i, j).
struct LapackBand {
    bool upper;
    Index kd;
    Index ldab;

    Index offset(Index i, Index k) const noexcept {
        return upper ? (i + k - 1) * ldab + kd - k : (i - 1) * ldab + k;
    }
};

/// Copies the caller's triangle into our band storage of half bandwidth hb.
template <typename W, typename T>
void copy_from_lapack(const LapackBand& band, const T* ab, Index n, Index hb, W* a) noexcept {
    using Tr = ElementTraits<W>;
    for (Index i = 1; i <= n; ++i) {
        W* row = a + (i - 1) * (hb + 1);
        const Index reach = std::min(hb, n - i);
        for (Index k = 0; k <= reach; ++k) {
            const W x = ab[band.offset(i, k)];
            row[k] = band.upper ? x : Tr::adjoint(x);
        }
    }
}

/// Writes the factor in our band storage back in the caller's layout: U
/// itself for 'U', L = U^H (U^T for the real types) for 'L'.
template <typename W, typename T>
void copy_to_lapack(const LapackBand& band, const W* a, Index n, Index hb, T* ab) noexcept {
    using Tr = ElementTraits<W>;
    for (Index i = 1; i <= n; ++i) {
        const W* row = a + (i - 1) * (hb + 1);
        const Index reach = std::min(hb, n - i);
        for (Index k = 0; k <= reach; ++k)
            ab[band.offset(i, k)] = static_cast<T>(band.upper ? row[k] : Tr::adjoint(row[k]));
    }
}

/// The row of the pivot that failed in a factorisation that stopped: the
/// rows before it hold their factor, whose diagonal passes the test, and
/// the failing row holds its reduced pivot.  0 when no diagonal fails.
template <typename W>
int failing_pivot_row(const W* a, Index n, Index hb) noexcept {
    using Tr = ElementTraits<W>;
    for (Index i = 1; i <= n; ++i)
        if (Tr::pivot_fails(a[(i - 1) * (hb + 1)], RealOf<W>(0))) return static_cast<int>(i);
    return 0;
}

}  // namespace detail

/// ?pbsv: factorises the SPD (Hermitian PD for complex T) band matrix held
/// in LAPACK's layout and solves A X = B; returns INFO as LAPACK defines it
/// (0, the order of the first leading minor that is not positive definite,
/// or -position of an illegal argument), or BANDSOLVE_INFO_NO_RESOURCES.
template <typename T>
int lapack_style_pbsv(const char* uplo, const int* n_arg, const int* kd_arg, const int* nrhs_arg,
                      T* ab, const int* ldab_arg, T* b, const int* ldb_arg) noexcept {
    using W = typename detail::PbsvElement<T>::type;
    constexpr bool same_type = std::is_same_v<W, T>;

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

    // Everything that can be refused is had before anything is touched.
    int team = 0;
    get_team_size(&team);
    TeamObjects objects;
    if (!objects.ok()) return BANDSOLVE_INFO_NO_RESOURCES;

    const detail::LapackBand band{upper, kd, ldab};
    const bool in_place = same_type && !upper && ldab == kd + 1;
    // Diagonals beyond the matrix's last one hold nothing to copy.
    const Index hb = in_place ? kd : std::min(kd, n - 1);
    std::unique_ptr<W[]> copy;
    std::unique_ptr<W[]> column;
    W* a = nullptr;
    if constexpr (same_type) {
        if (in_place) a = ab;
    }
    if (!in_place) {
        copy.reset(new (std::nothrow) W[(n - 1) * (hb + 1) + 1]);
        if (!copy) return BANDSOLVE_INFO_NO_RESOURCES;
        a = copy.get();
    }
    if (!same_type && nrhs > 0) {
        column.reset(new (std::nothrow) W[n]);
        if (!column) return BANDSOLVE_INFO_NO_RESOURCES;
    }

    if (!in_place) detail::copy_from_lapack(band, ab, n, hb, a);
    const int failed = detail::run_slab_factor(team, objects, a, static_cast<int>(n),
                                               static_cast<int>(hb), factor_slab_rows(0, hb));
    int info = 0;
    if (failed != 0) {
        info = detail::failing_pivot_row(a, n, hb);
        if (info == 0) info = failed;
    }
    if (!in_place) detail::copy_to_lapack(band, a, n, hb, ab);
    if (info != 0) return info;

    const Index r = solve_slab_rows(0);
    for (Index k = 0; k < nrhs; ++k) {
        T* const y = b + k * ldb;
        if constexpr (same_type) {
            detail::run_slab_solve(team, objects, a, static_cast<int>(n), static_cast<int>(hb), y,
                                   r);
        } else {
            std::copy(y, y + n, column.get());
            detail::run_slab_solve(team, objects, static_cast<const W*>(a), static_cast<int>(n),
                                   static_cast<int>(hb), column.get(), r);
            std::copy(column.get(), column.get() + n, y);
        }
    }
    return 0;
}

}  // namespace bandsolve
