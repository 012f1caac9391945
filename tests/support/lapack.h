// Reference LAPACK band Cholesky routines (Fortran calling convention, with
// the hidden length of the character argument).  Our band storage is
// LAPACK's lower band storage, UPLO = 'L', LDAB = hb + 1.
#pragma once

#include <complex>
#include <cstddef>

extern "C" {
void spbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, float* ab,
            const int* ldab, float* b, const int* ldb, int* info, std::size_t uplo_len);
void dpbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, double* ab,
            const int* ldab, double* b, const int* ldb, int* info, std::size_t uplo_len);
void cpbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, std::complex<float>* ab,
            const int* ldab, std::complex<float>* b, const int* ldb, int* info,
            std::size_t uplo_len);
void zpbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs,
            std::complex<double>* ab, const int* ldab, std::complex<double>* b, const int* ldb,
            int* info, std::size_t uplo_len);
void spbtrf_(const char* uplo, const int* n, const int* kd, float* ab, const int* ldab, int* info,
             std::size_t uplo_len);
void dpbtrf_(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab, int* info,
             std::size_t uplo_len);
void cpbtrf_(const char* uplo, const int* n, const int* kd, std::complex<float>* ab,
             const int* ldab, int* info, std::size_t uplo_len);
void zpbtrf_(const char* uplo, const int* n, const int* kd, std::complex<double>* ab,
             const int* ldab, int* info, std::size_t uplo_len);
void cpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs,
             const std::complex<float>* ab, const int* ldab, std::complex<float>* b, const int* ldb,
             int* info, std::size_t uplo_len);
void zpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs,
             const std::complex<double>* ab, const int* ldab, std::complex<double>* b,
             const int* ldb, int* info, std::size_t uplo_len);
void spbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const float* ab,
             const int* ldab, float* b, const int* ldb, int* info, std::size_t uplo_len);
void dpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab,
             const int* ldab, double* b, const int* ldb, int* info, std::size_t uplo_len);
}

namespace bandsolve::testing {

/// LAPACK ?pbsv with its own argument list, overloaded on the element type
/// (the complex ones Hermitian).
inline void lapack_pbsv(char uplo, int n, int kd, int nrhs, float* ab, int ldab, float* b, int ldb,
                        int* info) {
    spbsv_(&uplo, &n, &kd, &nrhs, ab, &ldab, b, &ldb, info, 1);
}
inline void lapack_pbsv(char uplo, int n, int kd, int nrhs, double* ab, int ldab, double* b,
                        int ldb, int* info) {
    dpbsv_(&uplo, &n, &kd, &nrhs, ab, &ldab, b, &ldb, info, 1);
}
inline void lapack_pbsv(char uplo, int n, int kd, int nrhs, std::complex<float>* ab, int ldab,
                        std::complex<float>* b, int ldb, int* info) {
    cpbsv_(&uplo, &n, &kd, &nrhs, ab, &ldab, b, &ldb, info, 1);
}
inline void lapack_pbsv(char uplo, int n, int kd, int nrhs, std::complex<double>* ab, int ldab,
                        std::complex<double>* b, int ldb, int* info) {
    zpbsv_(&uplo, &n, &kd, &nrhs, ab, &ldab, b, &ldb, info, 1);
}

/// LAPACK ?pbtrf and ?pbtrs with their own argument lists, overloaded on the
/// element type; they return INFO.
#define BANDSOLVE_LAPACK_PAIR(T, x)                                                          \
    inline int lapack_pbtrf(char uplo, int n, int kd, T* ab, int ldab) {                     \
        int info = 0;                                                                        \
        x##pbtrf_(&uplo, &n, &kd, ab, &ldab, &info, 1);                                      \
        return info;                                                                         \
    }                                                                                        \
    inline int lapack_pbtrs(char uplo, int n, int kd, int nrhs, const T* ab, int ldab, T* b, \
                            int ldb) {                                                       \
        int info = 0;                                                                        \
        x##pbtrs_(&uplo, &n, &kd, &nrhs, ab, &ldab, b, &ldb, &info, 1);                      \
        return info;                                                                         \
    }
BANDSOLVE_LAPACK_PAIR(float, s)
BANDSOLVE_LAPACK_PAIR(double, d)
BANDSOLVE_LAPACK_PAIR(std::complex<float>, c)
BANDSOLVE_LAPACK_PAIR(std::complex<double>, z)
#undef BANDSOLVE_LAPACK_PAIR

/// LAPACK ?pbsv on our band storage: factorises and solves in place.
inline int lapack_pbsv(float* a, int n, int hb, float* b, int nrhs) {
    int info = 0, ld = hb + 1, ldb = n > 0 ? n : 1;
    spbsv_("L", &n, &hb, &nrhs, a, &ld, b, &ldb, &info, 1);
    return info;
}
inline int lapack_pbsv(double* a, int n, int hb, double* b, int nrhs) {
    int info = 0, ld = hb + 1, ldb = n > 0 ? n : 1;
    dpbsv_("L", &n, &hb, &nrhs, a, &ld, b, &ldb, &info, 1);
    return info;
}
/// LAPACK ?pbtrf on our band storage: leaves U (as L = U^T) in place.
inline int lapack_pbtrf(float* a, int n, int hb) {
    int info = 0, ld = hb + 1;
    spbtrf_("L", &n, &hb, a, &ld, &info, 1);
    return info;
}
inline int lapack_pbtrf(double* a, int n, int hb) {
    int info = 0, ld = hb + 1;
    dpbtrf_("L", &n, &hb, a, &ld, &info, 1);
    return info;
}

}  // namespace bandsolve::testing
