// The public LAPACK-style entries, and the same entries under the external
// names a Fortran 77 compiler gives them, which take the hidden length of
// the character argument.
#include "solver/lapack/lapack_style.h"

using bandsolve::lapack_style_pbsv;

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

}  // extern "C"
