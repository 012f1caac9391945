// C++ interface of bandsolve: the C entries of <bandsolve.h> overloaded by
// element type, and span-checked forms that refuse arrays too short for the
// sizes given (INFO = -position of the short array) instead of reading or
// writing past their end.
//
//     std::vector<double> a = ..., b = ..., work(2 * n * hb);
//     int info = bandsolve::solve(std::span(a), n, hb, std::span(b), 1, std::span(work));
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
    static constexpr auto pbsv = &band_pbsv_##s;
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

/// Elements of the band array of an order-n, half-bandwidth-hb matrix.
constexpr std::size_t band_array_size(int n, int hb) noexcept {
    return n > 0 && hb >= 0 ? static_cast<std::size_t>(n - 1) * (hb + 1) + 1 : 0;
}
/// Elements of the work area of a block-tree solve.
constexpr std::size_t work_size(int n, int hb) noexcept {
    return n > 0 && hb > 0 ? 2 * static_cast<std::size_t>(n) * hb : 0;
}

/// Block-tree factor-and-solve with size-checked arrays.
template <typename T>
int solve(std::span<T> a, int n, int hb, std::span<T> b, int nrhs, std::span<T> work) noexcept {
    if (a.size() < band_array_size(n, hb)) return -1;
    if (nrhs > 0 && n > 0 && b.size() < static_cast<std::size_t>(n) * nrhs) return -4;
    if (work.size() < work_size(n, hb)) return -6;
    return band_solve(a.data(), n, hb, b.data(), nrhs, work.data());
}

/// Slab-pipelined factorisation with a size-checked array.
template <typename T>
int factor(std::span<T> a, int n, int hb, int slab_rows = 0) noexcept {
    if (a.size() < band_array_size(n, hb)) return -1;
    return band_factor(a.data(), n, hb, slab_rows);
}

/// Solve with a finished factor, size-checked.
template <typename T>
int solve_with_factor(std::span<const T> a, int n, int hb, std::span<T> b, int nrhs,
                      int slab_rows = 0) noexcept {
    if (a.size() < band_array_size(n, hb)) return -1;
    if (nrhs > 0 && n > 0 && b.size() < static_cast<std::size_t>(n) * nrhs) return -4;
    return band_solve_with_factor(a.data(), n, hb, b.data(), nrhs, slab_rows);
}

}  // namespace bandsolve
