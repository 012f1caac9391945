// The LAPACK-style entries band_pbsv_?, band_pbtrf_? and band_pbtrs_?:
// LAPACK's ?pbsv, ?pbtrf and ?pbtrs argument lists and contracts, worked in
// the caller's arrays by the sequential steps of
// pbsv_steps.h.  The complex entries solve Hermitian systems, as cpbsv and
// zpbsv do: the steps run with HermitianTraits.
//
// LAPACK's 'U' layout holds U of A = U^H U column by column, and the steps
// work on it as it is.  Its 'L' layout read row by row is the band storage
// of the matrix B = conj(A) (= A for the real types): row i of that, A(i+k, i)
// for k = 0..kd, is column i of LAPACK's.  So an 'L' array is factorised as
// B = V^H V, and V is exactly the L of A = L L^H in LAPACK's layout; the
// solve runs as B conj(x) = conj(b).  Conjugation commutes with every
// rounded operation, so both layouts give the same bits.
#pragma once

#include <algorithm>
#include <complex>
#include <memory>
#include <new>

#include "bandsolve.h"
#include "solver/lapack/pbsv_steps.h"

namespace bandsolve {

namespace detail {

/// Factorises U where it lies and, when every pivot passed, solves for the
/// nrhs columns of b; returns INFO.  The forward substitution runs inside
/// the factorisation, on a copy of b kept aside for a pivot that fails.
template <typename T, typename Tr, bool ColumnWise, bool Wide = false>
int pbsv_in_layout(LapackBandView<T, ColumnWise> u, Index n, Index hb, T* b, Index nrhs,
                   Index ldb) noexcept {
    std::unique_ptr<T[]> saved;
    if (pbsv_keeps_b_aside(nrhs)) {
        saved.reset(new (std::nothrow) T[n * nrhs]);
        if (!saved) return BANDSOLVE_INFO_NO_RESOURCES;
    }
    const Index failed =
        pbsv_factor_forward<T, Tr, ColumnWise, Wide>(u, n, hb, {b, nrhs, ldb, saved.get()});
    if (failed != 0) return static_cast<int>(failed);
    pbsv_backward<T, Tr, ColumnWise, Wide>(LapackBandView<const T, ColumnWise>{u.ab, u.kd, u.ldab},
                                           n, hb, b, nrhs, ldb);
    return 0;
}

/// Factorises U where it lies; returns 0 or the row of the first pivot that
/// fails.  The factorisation of pbsv_in_layout without right-hand sides, so
/// the factor has its bits.
template <typename T, typename Tr, bool ColumnWise, bool Wide = false>
int pbtrf_in_layout(LapackBandView<T, ColumnWise> u, Index n, Index hb) noexcept {
    return static_cast<int>(
        pbsv_factor_forward<T, Tr, ColumnWise, Wide>(u, n, hb, {nullptr, 0, 1, nullptr}));
}

/// Solves U^H U X = B with a finished factor: the forward and the back
/// substitution of pbsv_in_layout, so a factorisation and this solve give
/// pbsv_in_layout's bits.
template <typename T, typename Tr, bool ColumnWise, bool Wide = false>
void pbtrs_in_layout(LapackBandView<const T, ColumnWise> u, Index n, Index hb, T* b, Index nrhs,
                     Index ldb) noexcept {
    pbsv_forward<T, Tr>(u, n, hb, b, nrhs, ldb);
    pbsv_backward<T, Tr, ColumnWise, Wide>(u, n, hb, b, nrhs, ldb);
}

#if defined(__x86_64__) || defined(__i386__)
#define BANDSOLVE_PBSV_X86 1
/// pbsv_in_layout compiled for processors with AVX2 and FMA: the steps
/// inlined into it and vectorised four doubles wide, with the same
/// operations and so the same bytes.  FMA is not enabled here (a fusing the
/// compiler chose would change the rounding); the rows written for AVX2
/// (pbsv_fixed_row_cf, pbsv_fixed_row_sf) fuse only where it is exact, the
/// product of two single-precision values in double.
template <typename T, typename Tr, bool ColumnWise>
__attribute__((target("avx2"), flatten)) int pbsv_in_layout_avx2(LapackBandView<T, ColumnWise> u,
                                                                 Index n, Index hb, T* b,
                                                                 Index nrhs, Index ldb) noexcept {
    return pbsv_in_layout<T, Tr, ColumnWise, true>(u, n, hb, b, nrhs, ldb);
}
template <typename T, typename Tr, bool ColumnWise>
__attribute__((target("avx2"), flatten)) int pbtrf_in_layout_avx2(LapackBandView<T, ColumnWise> u,
                                                                  Index n, Index hb) noexcept {
    return pbtrf_in_layout<T, Tr, ColumnWise, true>(u, n, hb);
}
template <typename T, typename Tr, bool ColumnWise>
__attribute__((target("avx2"), flatten)) void pbtrs_in_layout_avx2(
    LapackBandView<const T, ColumnWise> u, Index n, Index hb, T* b, Index nrhs,
    Index ldb) noexcept {
    pbtrs_in_layout<T, Tr, ColumnWise, true>(u, n, hb, b, nrhs, ldb);
}
#else
#define BANDSOLVE_PBSV_X86 0
#endif

/// Whether band_pbsv_? run the AVX2 body: the processor has AVX2 and FMA
/// and no test has asked for the portable body.
bool pbsv_use_avx2() noexcept;

/// The bodies band_pbsv_? can run: the best the processor supports, AVX2
/// without the AVX-512 updates of the wider complex rows, or portable code.
enum class PbsvBody { best, avx2, portable };
/// Makes later band_pbsv_? calls run `body`, or the best the processor
/// supports below it.  For tests that hold the bodies to the same bytes.
void force_pbsv_body(PbsvBody body) noexcept;

template <typename T, typename Tr, bool ColumnWise>
int pbsv_dispatch(LapackBandView<T, ColumnWise> u, Index n, Index hb, T* b, Index nrhs,
                  Index ldb) noexcept {
#if BANDSOLVE_PBSV_X86
    if (pbsv_use_avx2()) return pbsv_in_layout_avx2<T, Tr, ColumnWise>(u, n, hb, b, nrhs, ldb);
#endif
    return pbsv_in_layout<T, Tr, ColumnWise>(u, n, hb, b, nrhs, ldb);
}

template <typename T, typename Tr, bool ColumnWise>
int pbtrf_dispatch(LapackBandView<T, ColumnWise> u, Index n, Index hb) noexcept {
#if BANDSOLVE_PBSV_X86
    if (pbsv_use_avx2()) return pbtrf_in_layout_avx2<T, Tr, ColumnWise>(u, n, hb);
#endif
    return pbtrf_in_layout<T, Tr, ColumnWise>(u, n, hb);
}

template <typename T, typename Tr, bool ColumnWise>
void pbtrs_dispatch(LapackBandView<const T, ColumnWise> u, Index n, Index hb, T* b, Index nrhs,
                    Index ldb) noexcept {
#if BANDSOLVE_PBSV_X86
    if (pbsv_use_avx2()) return pbtrs_in_layout_avx2<T, Tr, ColumnWise>(u, n, hb, b, nrhs, ldb);
#endif
    pbtrs_in_layout<T, Tr, ColumnWise>(u, n, hb, b, nrhs, ldb);
}

/// The arguments of ?pbsv and ?pbtrs once checked.
struct SolveArgs {
    bool upper;
    Index n, kd, nrhs, ldab, ldb;
};

/// LAPACK's checks of the arguments ?pbsv and ?pbtrs share, in LAPACK's
/// order: 0 with `a` filled in, or -position of the first illegal one
/// (a null pointer that would be read counts as illegal).
inline int check_solve_args(const char* uplo, const int* n_arg, const int* kd_arg,
                            const int* nrhs_arg, const void* ab, const int* ldab_arg, const void* b,
                            const int* ldb_arg, SolveArgs& a) noexcept {
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
    a = {upper, n, kd, nrhs, ldab, ldb};
    return 0;
}

}  // namespace detail

/// ?pbsv: factorises the SPD (complex: Hermitian PD) band matrix held in
/// LAPACK's layout and solves A X = B; returns INFO as LAPACK defines it
/// (0, the order of the first leading minor that is not positive definite,
/// or -position of an illegal argument), or BANDSOLVE_INFO_NO_RESOURCES.
/// Runs on the calling thread.
template <typename T>
int lapack_style_pbsv(const char* uplo, const int* n_arg, const int* kd_arg, const int* nrhs_arg,
                      T* ab, const int* ldab_arg, T* b, const int* ldb_arg) noexcept {
    using Tr = typename HermitianTraitsOf<T>::type;

    detail::SolveArgs a;
    if (const int info =
            detail::check_solve_args(uplo, n_arg, kd_arg, nrhs_arg, ab, ldab_arg, b, ldb_arg, a);
        info != 0)
        return info;
    const bool upper = a.upper;
    const Index n = a.n, kd = a.kd, nrhs = a.nrhs, ldab = a.ldab, ldb = a.ldb;
    if (n == 0) return 0;

    // Diagonals beyond the matrix's last one hold nothing.
    const Index hb = std::min(kd, n - 1);
    if (upper) return detail::pbsv_dispatch<T, Tr, true>({ab, kd, ldab}, n, hb, b, nrhs, ldb);
    return detail::pbsv_dispatch<T, Tr, false>({ab, kd, ldab}, n, hb, b, nrhs, ldb);
}

/// ?pbtrf: factorises the SPD (complex: Hermitian PD) band matrix held in
/// LAPACK's layout where it lies, A = U^H U ('U') or L L^H ('L'); returns
/// INFO as LAPACK defines it (0, the order of the first leading minor that
/// is not positive definite, or -position of an illegal argument).  The
/// factor has the bits band_pbsv_? leaves.  Runs on the calling thread.
template <typename T>
int lapack_style_pbtrf(const char* uplo, const int* n_arg, const int* kd_arg, T* ab,
                       const int* ldab_arg) noexcept {
    using Tr = typename HermitianTraitsOf<T>::type;

    const char u = uplo != nullptr ? *uplo : '\0';
    const bool upper = u == 'U' || u == 'u';
    if (!upper && u != 'L' && u != 'l') return -1;
    if (n_arg == nullptr || *n_arg < 0) return -2;
    if (kd_arg == nullptr || *kd_arg < 0) return -3;
    const Index n = *n_arg, kd = *kd_arg;
    if (n > 0 && ab == nullptr) return -4;
    if (ldab_arg == nullptr || *ldab_arg < kd + 1) return -5;
    const Index ldab = *ldab_arg;
    if (n == 0) return 0;

    const Index hb = std::min(kd, n - 1);
    if (upper) return detail::pbtrf_dispatch<T, Tr, true>({ab, kd, ldab}, n, hb);
    return detail::pbtrf_dispatch<T, Tr, false>({ab, kd, ldab}, n, hb);
}

/// ?pbtrs: solves A X = B with the factor ?pbtrf (ours or LAPACK's) left in
/// AB, which is only read; returns 0 or -position of an illegal argument.
/// As in LAPACK no pivot is tested: a zero on the factor's diagonal gives
/// infinities or NaN.  band_pbtrf_? followed by this gives exactly the bits
/// of band_pbsv_?.  Runs on the calling thread.
template <typename T>
int lapack_style_pbtrs(const char* uplo, const int* n_arg, const int* kd_arg, const int* nrhs_arg,
                       const T* ab, const int* ldab_arg, T* b, const int* ldb_arg) noexcept {
    using Tr = typename HermitianTraitsOf<T>::type;

    detail::SolveArgs a;
    if (const int info =
            detail::check_solve_args(uplo, n_arg, kd_arg, nrhs_arg, ab, ldab_arg, b, ldb_arg, a);
        info != 0)
        return info;
    const bool upper = a.upper;
    const Index n = a.n, kd = a.kd, nrhs = a.nrhs, ldab = a.ldab, ldb = a.ldb;
    if (n == 0 || nrhs == 0) return 0;

    const Index hb = std::min(kd, n - 1);
    if (upper)
        detail::pbtrs_dispatch<T, Tr, true>({ab, kd, ldab}, n, hb, b, nrhs, ldb);
    else
        detail::pbtrs_dispatch<T, Tr, false>({ab, kd, ldab}, n, hb, b, nrhs, ldb);
    return 0;
}

}  // namespace bandsolve
