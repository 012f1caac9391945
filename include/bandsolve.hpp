// C++ interface of bandsolve: the C entries of <bandsolve.h> overloaded by
// element type (band_solve, band_factor, band_solve_with_factor,
// band_factor_solve, band_pbsv, band_pbtrf, band_pbtrs, on pointers), and
// size-checked forms of each (solve, factor, solve_with_factor,
// factor_solve, pbsv, pbtrf, pbtrs, on spans) that
// refuse arrays too short for the sizes given (INFO = -position of the short
// array) instead of reading or writing past their end.
//
//     std::vector<double> a = ..., b = ..., work(bandsolve::work_size(n, hb));
//     int info = bandsolve::solve(a, n, hb, b, 1, work);
#pragma once

#include <complex>
#include <cstddef>
#include <span>

#include "bandsolve.h"

namespace bandsolve {

namespace detail {
/// The C entries of one element type.
template <typename T>
struct CEntries;

#define BANDSOLVE_ENTRIES(s)                                               \
    static constexpr auto solve = &band_solve_##s;                         \
    static constexpr auto factor = &band_factor_##s;                       \
    static constexpr auto solve_with_factor = &band_solve_with_factor_##s; \
    static constexpr auto factor_solve = &band_factor_solve_##s;           \
    static constexpr auto pbsv = &band_pbsv_##s;                           \
    static constexpr auto pbtrf = &band_pbtrf_##s;                         \
    static constexpr auto pbtrs = &band_pbtrs_##s;
template <>
struct CEntries<float> {
    BANDSOLVE_ENTRIES(s)
};
template <>
struct CEntries<double> {
    BANDSOLVE_ENTRIES(d)
};
template <>
struct CEntries<std::complex<float>> {
    BANDSOLVE_ENTRIES(c)
};
template <>
struct CEntries<std::complex<double>> {
    BANDSOLVE_ENTRIES(z)
};
#undef BANDSOLVE_ENTRIES
}  // namespace detail

/// Block-tree factor-and-solve (band_solve_s/d/c/z); returns INFO.
template <typename T>
int band_solve(T* a, int n, int hb, T* b, int nrhs, T* work) noexcept {
    int info = 0;
    detail::CEntries<T>::solve(a, &n, &hb, b, &nrhs, work, &info);
    return info;
}
/// Slab-pipelined factorisation (band_factor_s/d/c/z); returns INFO.
template <typename T>
int band_factor(T* a, int n, int hb, int slab_rows = 0) noexcept {
    int info = 0;
    detail::CEntries<T>::factor(a, &n, &hb, &slab_rows, &info);
    return info;
}
/// Solve with a finished factor (band_solve_with_factor_s/d/c/z).
template <typename T>
int band_solve_with_factor(const T* a, int n, int hb, T* b, int nrhs, int slab_rows = 0) noexcept {
    int info = 0;
    detail::CEntries<T>::solve_with_factor(a, &n, &hb, b, &nrhs, &slab_rows, &info);
    return info;
}
/// Slab-pipelined factor-and-solve (band_factor_solve_s/d/c/z).
template <typename T>
int band_factor_solve(T* a, int n, int hb, T* b, int nrhs, int slab_rows = 0) noexcept {
    int info = 0;
    detail::CEntries<T>::factor_solve(a, &n, &hb, b, &nrhs, &slab_rows, &info);
    return info;
}

/// LAPACK-style factor-and-solve (band_pbsv_s/d/c/z): ?pbsv's arguments and
/// contract, the complex types Hermitian; returns INFO.
template <typename T>
int band_pbsv(char uplo, int n, int kd, int nrhs, T* ab, int ldab, T* b, int ldb) noexcept {
    int info = 0;
    detail::CEntries<T>::pbsv(&uplo, &n, &kd, &nrhs, ab, &ldab, b, &ldb, &info);
    return info;
}

/// LAPACK-style factorisation (band_pbtrf_s/d/c/z): ?pbtrf's arguments and
/// contract, the complex types Hermitian; returns INFO.
template <typename T>
int band_pbtrf(char uplo, int n, int kd, T* ab, int ldab) noexcept {
    int info = 0;
    detail::CEntries<T>::pbtrf(&uplo, &n, &kd, ab, &ldab, &info);
    return info;
}
/// LAPACK-style solve with a finished factor (band_pbtrs_s/d/c/z): ?pbtrs's
/// arguments and contract; returns INFO.
template <typename T>
int band_pbtrs(char uplo, int n, int kd, int nrhs, const T* ab, int ldab, T* b, int ldb) noexcept {
    int info = 0;
    detail::CEntries<T>::pbtrs(&uplo, &n, &kd, &nrhs, ab, &ldab, b, &ldb, &info);
    return info;
}

/// Elements of the band array of an order-n, half-bandwidth-hb matrix,
/// computed in std::size_t: exact for every int n and hb on 64-bit targets.
constexpr std::size_t band_array_size(int n, int hb) noexcept {
    return n > 0 && hb >= 0
               ? static_cast<std::size_t>(n - 1) * (static_cast<std::size_t>(hb) + 1) + 1
               : 0;
}
/// Elements of the work area of a block-tree solve.
constexpr std::size_t work_size(int n, int hb) noexcept {
    return n > 0 && hb > 0 ? 2 * static_cast<std::size_t>(n) * hb : 0;
}

namespace detail {
/// Elements a LAPACK band array of order n > 0 must have for the entry to
/// reach every element it reads or writes: the last column's diagonal, and
/// for 'U' the kd cells above it in that column.
constexpr std::size_t pbsv_array_size(bool upper, int n, int kd, int ldab) noexcept {
    return static_cast<std::size_t>(n - 1) * ldab + (upper ? kd : 0) + 1;
}
/// Elements of nrhs > 0 columns of n > 0 elements, ld apart.
constexpr std::size_t columns_size(int n, int nrhs, int ld) noexcept {
    return static_cast<std::size_t>(nrhs - 1) * ld + n;
}

template <typename T>
int checked_solve(std::span<T> a, int n, int hb, std::span<T> b, int nrhs,
                  std::span<T> work) noexcept {
    if (a.size() < band_array_size(n, hb)) return -1;
    if (nrhs > 0 && n > 0 && b.size() < columns_size(n, nrhs, n)) return -4;
    if (work.size() < work_size(n, hb)) return -6;
    return band_solve(a.data(), n, hb, b.data(), nrhs, work.data());
}
template <typename T>
int checked_factor(std::span<T> a, int n, int hb, int slab_rows) noexcept {
    if (a.size() < band_array_size(n, hb)) return -1;
    return band_factor(a.data(), n, hb, slab_rows);
}
template <typename T>
int checked_solve_with_factor(std::span<const T> a, int n, int hb, std::span<T> b, int nrhs,
                              int slab_rows) noexcept {
    if (a.size() < band_array_size(n, hb)) return -1;
    if (nrhs > 0 && n > 0 && b.size() < columns_size(n, nrhs, n)) return -4;
    return band_solve_with_factor(a.data(), n, hb, b.data(), nrhs, slab_rows);
}
template <typename T>
int checked_factor_solve(std::span<T> a, int n, int hb, std::span<T> b, int nrhs,
                         int slab_rows) noexcept {
    if (a.size() < band_array_size(n, hb)) return -1;
    if (nrhs > 0 && n > 0 && b.size() < columns_size(n, nrhs, n)) return -4;
    return band_factor_solve(a.data(), n, hb, b.data(), nrhs, slab_rows);
}
template <typename T>
int checked_pbsv(char uplo, int n, int kd, int nrhs, std::span<T> ab, int ldab, std::span<T> b,
                 int ldb) noexcept {
    // Illegal arguments are the C entry's to report (INFO = -1 .. -8, in
    // LAPACK's order); the sizes are checked only when they mean something.
    const bool upper = uplo == 'U' || uplo == 'u';
    const bool legal = (upper || uplo == 'L' || uplo == 'l') && n > 0 && kd >= 0 && nrhs >= 0 &&
                       ldab > kd && ldb >= n;
    if (legal) {
        if (ab.size() < pbsv_array_size(upper, n, kd, ldab)) return -5;
        if (nrhs > 0 && b.size() < columns_size(n, nrhs, ldb)) return -7;
    }
    return band_pbsv(uplo, n, kd, nrhs, ab.data(), ldab, b.data(), ldb);
}
template <typename T>
int checked_pbtrf(char uplo, int n, int kd, std::span<T> ab, int ldab) noexcept {
    const bool upper = uplo == 'U' || uplo == 'u';
    const bool legal = (upper || uplo == 'L' || uplo == 'l') && n > 0 && kd >= 0 && ldab > kd;
    if (legal && ab.size() < pbsv_array_size(upper, n, kd, ldab)) return -4;
    return band_pbtrf(uplo, n, kd, ab.data(), ldab);
}
template <typename T>
int checked_pbtrs(char uplo, int n, int kd, int nrhs, std::span<const T> ab, int ldab,
                  std::span<T> b, int ldb) noexcept {
    const bool upper = uplo == 'U' || uplo == 'u';
    const bool legal = (upper || uplo == 'L' || uplo == 'l') && n > 0 && kd >= 0 && nrhs >= 0 &&
                       ldab > kd && ldb >= n;
    if (legal) {
        if (ab.size() < pbsv_array_size(upper, n, kd, ldab)) return -5;
        if (nrhs > 0 && b.size() < columns_size(n, nrhs, ldb)) return -7;
    }
    return band_pbtrs(uplo, n, kd, nrhs, ab.data(), ldab, b.data(), ldb);
}
}  // namespace detail

// The size-checked forms.  They are plain functions, one of each per element
// type, not templates, so that anything that converts to the span binds as
// it is: a std::vector<T>, a std::array<T, N>, a T[N] or a std::span<T>, and
// for the factor of solve_with_factor their const forms too.  Each returns
// INFO, or -position of an array too short for the sizes given (the
// position in the C entry's argument list) with nothing touched.
#define BANDSOLVE_SPAN_FORMS(T)                                                                    \
    /** Block-tree factor-and-solve (band_solve_?); a -1, b -4, work -6. */                        \
    inline int solve(std::span<T> a, int n, int hb, std::span<T> b, int nrhs,                      \
                     std::span<T> work) noexcept {                                                 \
        return detail::checked_solve(a, n, hb, b, nrhs, work);                                     \
    }                                                                                              \
    /** Slab-pipelined factorisation (band_factor_?); a -1. */                                     \
    inline int factor(std::span<T> a, int n, int hb, int slab_rows = 0) noexcept {                 \
        return detail::checked_factor(a, n, hb, slab_rows);                                        \
    }                                                                                              \
    /** Solve with a finished factor (band_solve_with_factor_?); a -1, b -4. */                    \
    inline int solve_with_factor(std::span<const T> a, int n, int hb, std::span<T> b, int nrhs,    \
                                 int slab_rows = 0) noexcept {                                     \
        return detail::checked_solve_with_factor(a, n, hb, b, nrhs, slab_rows);                    \
    }                                                                                              \
    /** Slab-pipelined factor-and-solve (band_factor_solve_?); a -1, b -4. */                      \
    inline int factor_solve(std::span<T> a, int n, int hb, std::span<T> b, int nrhs,               \
                            int slab_rows = 0) noexcept {                                          \
        return detail::checked_factor_solve(a, n, hb, b, nrhs, slab_rows);                         \
    }                                                                                              \
    /** LAPACK-style factor-and-solve (band_pbsv_?), complex Hermitian; ab -5, b -7. */            \
    inline int pbsv(char uplo, int n, int kd, int nrhs, std::span<T> ab, int ldab, std::span<T> b, \
                    int ldb) noexcept {                                                            \
        return detail::checked_pbsv(uplo, n, kd, nrhs, ab, ldab, b, ldb);                          \
    }                                                                                              \
    /** LAPACK-style factorisation (band_pbtrf_?), complex Hermitian; ab -4. */                    \
    inline int pbtrf(char uplo, int n, int kd, std::span<T> ab, int ldab) noexcept {               \
        return detail::checked_pbtrf(uplo, n, kd, ab, ldab);                                       \
    }                                                                                              \
    /** LAPACK-style solve with a factor (band_pbtrs_?); ab -5, b -7. */                           \
    inline int pbtrs(char uplo, int n, int kd, int nrhs, std::span<const T> ab, int ldab,          \
                     std::span<T> b, int ldb) noexcept {                                           \
        return detail::checked_pbtrs(uplo, n, kd, nrhs, ab, ldab, b, ldb);                         \
    }
BANDSOLVE_SPAN_FORMS(float)
BANDSOLVE_SPAN_FORMS(double)
BANDSOLVE_SPAN_FORMS(std::complex<float>)
BANDSOLVE_SPAN_FORMS(std::complex<double>)
#undef BANDSOLVE_SPAN_FORMS

}  // namespace bandsolve
