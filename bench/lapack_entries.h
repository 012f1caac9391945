// The LAPACK band Cholesky solvers the comparison runs beside ours: the
// reference LAPACK the program is linked with, and OpenBLAS's, loaded at run
// time from its own directory so that the linked reference stays what
// `lapack_pbsv` calls.  Our band storage is LAPACK's lower band storage
// (UPLO = 'L', LDAB = hb + 1), so both take our arrays as they are.
#pragma once

#include <complex>
#include <cstddef>
#include <string>

namespace bandcompare {

/// True when the program was built with a LAPACK library.
bool have_reference_lapack() noexcept;

/// Reference ?pbsv on a band array with LDAB = hb + 1 in layout uplo ('L':
/// our band storage): factorises and solves in place and returns INFO.
/// Without a LAPACK library it returns -1000 and touches nothing
/// (have_reference_lapack() tells beforehand).
int lapack_pbsv(float* a, int n, int hb, float* b, int nrhs, char uplo = 'L') noexcept;
int lapack_pbsv(double* a, int n, int hb, double* b, int nrhs, char uplo = 'L') noexcept;
/// cpbsv and zpbsv solve Hermitian systems.
int lapack_pbsv(std::complex<float>* a, int n, int hb, std::complex<float>* b, int nrhs,
                char uplo = 'L') noexcept;
int lapack_pbsv(std::complex<double>* a, int n, int hb, std::complex<double>* b, int nrhs,
                char uplo = 'L') noexcept;

/// Reference dpbtrf (factorisation in place) and dpbtrs (solution with that
/// factor), LDAB = hb + 1, LDB = n; INFO, or -1000 without LAPACK.
int lapack_pbtrf(double* a, int n, int hb, char uplo = 'L') noexcept;
int lapack_pbtrs(const double* a, int n, int hb, double* b, int nrhs, char uplo = 'L') noexcept;

/// File that spbsv_ was loaded from, with symbolic links resolved (the
/// Debian alternatives system may point liblapack.so.3 at an optimised
/// library); empty without LAPACK.
std::string reference_lapack_path();
/// The same for the BLAS library that the linked LAPACK calls (sgemm_).
std::string reference_blas_path();

/// Where Debian's libopenblas0-pthread installs OpenBLAS's LAPACK.
inline constexpr const char* DEFAULT_OPENBLAS_PATH =
    "/usr/lib/x86_64-linux-gnu/openblas-pthread/liblapack.so.3";

/// OpenBLAS's ?pbsv, reached through dlopen.  The library is opened with its
/// own symbols ahead of the process's (RTLD_DEEPBIND): otherwise its internal
/// calls to the LAPACK and BLAS routines would bind to the reference
/// libraries already loaded under the same names.
class OpenBlas {
  public:
    OpenBlas() = default;
    ~OpenBlas();
    OpenBlas(const OpenBlas&) = delete;
    OpenBlas& operator=(const OpenBlas&) = delete;

    /// Opens the library at `path`; false (with error() saying why) when the
    /// file is missing or lacks spbsv_/dpbsv_.
    bool open(const std::string& path);
    bool loaded() const noexcept { return spbsv_fn_ != nullptr; }
    const std::string& error() const noexcept { return error_; }
    /// Library version and build options as OpenBLAS reports them.
    std::string config() const;

    /// Sets OpenBLAS's thread count (a no-op when the library lacks the call).
    void set_threads(int threads) const noexcept;

    int pbsv(float* a, int n, int hb, float* b, int nrhs) const noexcept;
    int pbsv(double* a, int n, int hb, double* b, int nrhs) const noexcept;

  private:
    using SpbsvFn = void (*)(const char*, const int*, const int*, const int*, float*, const int*,
                             float*, const int*, int*, std::size_t);
    using DpbsvFn = void (*)(const char*, const int*, const int*, const int*, double*, const int*,
                             double*, const int*, int*, std::size_t);
    void* handle_ = nullptr;
    SpbsvFn spbsv_fn_ = nullptr;
    DpbsvFn dpbsv_fn_ = nullptr;
    void (*set_threads_)(int) = nullptr;
    const char* (*get_config_)() = nullptr;
    std::string error_;
};

}  // namespace bandcompare
