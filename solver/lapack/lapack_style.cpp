// The public LAPACK-style entries (?pbsv, ?pbtrf, ?pbtrs), and the same entries under the external
// names a Fortran 77 compiler gives them, which take the hidden length of
// the character argument; and the choice of the body the processor runs.
#include "solver/lapack/lapack_style.h"

#include <atomic>

namespace bandsolve {

namespace {
std::atomic<detail::PbsvBody> g_pbsv_body{detail::PbsvBody::best};
}  // namespace

bool detail::pbsv_use_avx2() noexcept {
#if BANDSOLVE_PBSV_X86
    static const bool has_avx2 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0;
    }();
    return has_avx2 && g_pbsv_body.load(std::memory_order_relaxed) != PbsvBody::portable;
#else
    return false;
#endif
}

bool detail::pbsv_use_avx512() noexcept {
#if BANDSOLVE_PBSV_X86
    static const bool has_avx512 = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    return has_avx512 && pbsv_use_avx2() &&
           g_pbsv_body.load(std::memory_order_relaxed) == PbsvBody::best;
#else
    return false;
#endif
}

void detail::force_pbsv_body(PbsvBody body) noexcept {
    g_pbsv_body.store(body, std::memory_order_relaxed);
}

}  // namespace bandsolve

using bandsolve::lapack_style_pbsv;
using bandsolve::lapack_style_pbtrf;
using bandsolve::lapack_style_pbtrs;

extern "C" {

void band_pbsv_s(const char* uplo, const int* n, const int* kd, const int* nrhs, float* ab,
                 const int* ldab, float* b, const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbsv(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}
void band_pbsv_d(const char* uplo, const int* n, const int* kd, const int* nrhs, double* ab,
                 const int* ldab, double* b, const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbsv(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}
void band_pbsv_c(const char* uplo, const int* n, const int* kd, const int* nrhs,
                 bandsolve_complex_float* ab, const int* ldab, bandsolve_complex_float* b,
                 const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbsv(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}
void band_pbsv_z(const char* uplo, const int* n, const int* kd, const int* nrhs,
                 bandsolve_complex_double* ab, const int* ldab, bandsolve_complex_double* b,
                 const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbsv(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}

void band_pbsv_s_(const char* uplo, const int* n, const int* kd, const int* nrhs, float* ab,
                  const int* ldab, float* b, const int* ldb, int* info, size_t) {
    band_pbsv_s(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}
void band_pbsv_d_(const char* uplo, const int* n, const int* kd, const int* nrhs, double* ab,
                  const int* ldab, double* b, const int* ldb, int* info, size_t) {
    band_pbsv_d(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}
void band_pbsv_c_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                  bandsolve_complex_float* ab, const int* ldab, bandsolve_complex_float* b,
                  const int* ldb, int* info, size_t) {
    band_pbsv_c(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}
void band_pbsv_z_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                  bandsolve_complex_double* ab, const int* ldab, bandsolve_complex_double* b,
                  const int* ldb, int* info, size_t) {
    band_pbsv_z(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}

void band_pbtrf_s(const char* uplo, const int* n, const int* kd, float* ab, const int* ldab,
                  int* info) {
    if (info != nullptr) *info = lapack_style_pbtrf(uplo, n, kd, ab, ldab);
}
void band_pbtrf_d(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab,
                  int* info) {
    if (info != nullptr) *info = lapack_style_pbtrf(uplo, n, kd, ab, ldab);
}
void band_pbtrf_c(const char* uplo, const int* n, const int* kd, bandsolve_complex_float* ab,
                  const int* ldab, int* info) {
    if (info != nullptr) *info = lapack_style_pbtrf(uplo, n, kd, ab, ldab);
}
void band_pbtrf_z(const char* uplo, const int* n, const int* kd, bandsolve_complex_double* ab,
                  const int* ldab, int* info) {
    if (info != nullptr) *info = lapack_style_pbtrf(uplo, n, kd, ab, ldab);
}
void band_pbtrs_s(const char* uplo, const int* n, const int* kd, const int* nrhs, const float* ab,
                  const int* ldab, float* b, const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbtrs(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}
void band_pbtrs_d(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab,
                  const int* ldab, double* b, const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbtrs(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}
void band_pbtrs_c(const char* uplo, const int* n, const int* kd, const int* nrhs,
                  const bandsolve_complex_float* ab, const int* ldab, bandsolve_complex_float* b,
                  const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbtrs(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}
void band_pbtrs_z(const char* uplo, const int* n, const int* kd, const int* nrhs,
                  const bandsolve_complex_double* ab, const int* ldab, bandsolve_complex_double* b,
                  const int* ldb, int* info) {
    if (info != nullptr) *info = lapack_style_pbtrs(uplo, n, kd, nrhs, ab, ldab, b, ldb);
}

void band_pbtrf_s_(const char* uplo, const int* n, const int* kd, float* ab, const int* ldab,
                   int* info, size_t) {
    band_pbtrf_s(uplo, n, kd, ab, ldab, info);
}
void band_pbtrf_d_(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab,
                   int* info, size_t) {
    band_pbtrf_d(uplo, n, kd, ab, ldab, info);
}
void band_pbtrf_c_(const char* uplo, const int* n, const int* kd, bandsolve_complex_float* ab,
                   const int* ldab, int* info, size_t) {
    band_pbtrf_c(uplo, n, kd, ab, ldab, info);
}
void band_pbtrf_z_(const char* uplo, const int* n, const int* kd, bandsolve_complex_double* ab,
                   const int* ldab, int* info, size_t) {
    band_pbtrf_z(uplo, n, kd, ab, ldab, info);
}
void band_pbtrs_s_(const char* uplo, const int* n, const int* kd, const int* nrhs, const float* ab,
                   const int* ldab, float* b, const int* ldb, int* info, size_t) {
    band_pbtrs_s(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}
void band_pbtrs_d_(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab,
                   const int* ldab, double* b, const int* ldb, int* info, size_t) {
    band_pbtrs_d(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}
void band_pbtrs_c_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                   const bandsolve_complex_float* ab, const int* ldab, bandsolve_complex_float* b,
                   const int* ldb, int* info, size_t) {
    band_pbtrs_c(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}
void band_pbtrs_z_(const char* uplo, const int* n, const int* kd, const int* nrhs,
                   const bandsolve_complex_double* ab, const int* ldab, bandsolve_complex_double* b,
                   const int* ldb, int* info, size_t) {
    band_pbtrs_z(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}

}  // extern "C"
