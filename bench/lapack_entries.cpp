#include "bench/lapack_entries.h"

#include <dlfcn.h>

#include <climits>
#include <complex>
#include <cstdlib>
#include <type_traits>

#ifdef BANDCOMPARE_HAVE_LAPACK
// Fortran calling convention, with the hidden length of the character
// argument.
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
void dpbtrf_(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab, int* info,
             std::size_t uplo_len);
void dpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab,
             const int* ldab, double* b, const int* ldb, int* info, std::size_t uplo_len);
}
#endif

namespace bandcompare {

namespace {
constexpr int NO_LAPACK = -1000;

/// One ?pbsv call on a band array with LDAB = hb + 1 ('L': our band
/// storage); LDB must be at least 1 even for n = 0.  A null stand-in (no
/// LAPACK) returns NO_LAPACK.
template <typename T, typename Pbsv>
int run_pbsv(Pbsv pbsv, T* a, int n, int hb, T* b, int nrhs, char uplo) noexcept {
    if constexpr (std::is_same_v<Pbsv, std::nullptr_t>) {
        return NO_LAPACK;
    } else {
        int info = 0;
        const int ld = hb + 1, ldb = n > 0 ? n : 1;
        pbsv(&uplo, &n, &hb, &nrhs, a, &ld, b, &ldb, &info, 1);
        return info;
    }
}

#ifndef BANDCOMPARE_HAVE_LAPACK
// Without LAPACK the reference entries are null stand-ins.
constexpr std::nullptr_t spbsv_ = nullptr, dpbsv_ = nullptr, cpbsv_ = nullptr, zpbsv_ = nullptr;
#endif
}  // namespace

bool have_reference_lapack() noexcept {
#ifdef BANDCOMPARE_HAVE_LAPACK
    return true;
#else
    return false;
#endif
}

int lapack_pbsv(float* a, int n, int hb, float* b, int nrhs, char uplo) noexcept {
    return run_pbsv(spbsv_, a, n, hb, b, nrhs, uplo);
}
int lapack_pbsv(double* a, int n, int hb, double* b, int nrhs, char uplo) noexcept {
    return run_pbsv(dpbsv_, a, n, hb, b, nrhs, uplo);
}
int lapack_pbsv(std::complex<float>* a, int n, int hb, std::complex<float>* b, int nrhs,
                char uplo) noexcept {
    return run_pbsv(cpbsv_, a, n, hb, b, nrhs, uplo);
}
int lapack_pbsv(std::complex<double>* a, int n, int hb, std::complex<double>* b, int nrhs,
                char uplo) noexcept {
    return run_pbsv(zpbsv_, a, n, hb, b, nrhs, uplo);
}

int lapack_pbtrf(double* a, int n, int hb, char uplo) noexcept {
#ifdef BANDCOMPARE_HAVE_LAPACK
    int info = 0;
    const int ld = hb + 1;
    dpbtrf_(&uplo, &n, &hb, a, &ld, &info, 1);
    return info;
#else
    (void)a, (void)n, (void)hb, (void)uplo;
    return NO_LAPACK;
#endif
}

int lapack_pbtrs(const double* a, int n, int hb, double* b, int nrhs, char uplo) noexcept {
#ifdef BANDCOMPARE_HAVE_LAPACK
    int info = 0;
    const int ld = hb + 1, ldb = n > 0 ? n : 1;
    dpbtrs_(&uplo, &n, &hb, &nrhs, a, &ld, b, &ldb, &info, 1);
    return info;
#else
    (void)a, (void)n, (void)hb, (void)b, (void)nrhs, (void)uplo;
    return NO_LAPACK;
#endif
}

namespace {
// File that the code at `address` was loaded from, links resolved.
std::string library_of(void* address) {
    Dl_info where{};
    if (address == nullptr || dladdr(address, &where) == 0 || where.dli_fname == nullptr)
        return "(unknown)";
    char resolved[PATH_MAX];
    if (realpath(where.dli_fname, resolved) == nullptr) return where.dli_fname;
    return resolved;
}
}  // namespace

std::string reference_lapack_path() {
#ifdef BANDCOMPARE_HAVE_LAPACK
    return library_of(reinterpret_cast<void*>(&spbsv_));
#else
    return {};
#endif
}

std::string reference_blas_path() {
#ifdef BANDCOMPARE_HAVE_LAPACK
    // The BLAS that the linked LAPACK calls: the process's first sgemm_.
    return library_of(dlsym(RTLD_DEFAULT, "sgemm_"));
#else
    return {};
#endif
}

OpenBlas::~OpenBlas() {
    if (handle_ != nullptr) dlclose(handle_);
}

bool OpenBlas::open(const std::string& path) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer runtimes abort a process that opens a library with
    // RTLD_DEEPBIND, and without it the comparison would be wrong.
    error_ = "OpenBLAS is not loaded in sanitizer builds (" + path + ")";
    return false;
#endif
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : "dlopen failed";
        return false;
    }
    auto spbsv = reinterpret_cast<SpbsvFn>(dlsym(handle_, "spbsv_"));
    auto dpbsv = reinterpret_cast<DpbsvFn>(dlsym(handle_, "dpbsv_"));
    if (spbsv == nullptr || dpbsv == nullptr) {
        error_ = path + " has no spbsv_/dpbsv_";
        dlclose(handle_);
        handle_ = nullptr;
        return false;
    }
    spbsv_fn_ = spbsv;
    dpbsv_fn_ = dpbsv;
    set_threads_ = reinterpret_cast<void (*)(int)>(dlsym(handle_, "openblas_set_num_threads"));
    get_config_ = reinterpret_cast<const char* (*)()>(dlsym(handle_, "openblas_get_config"));
    return true;
}

std::string OpenBlas::config() const {
    const char* text = get_config_ != nullptr ? get_config_() : nullptr;
    return text != nullptr ? text : "";
}

void OpenBlas::set_threads(int threads) const noexcept {
    if (set_threads_ != nullptr) set_threads_(threads);
}

int OpenBlas::pbsv(float* a, int n, int hb, float* b, int nrhs) const noexcept {
    return run_pbsv(spbsv_fn_, a, n, hb, b, nrhs, 'L');
}

int OpenBlas::pbsv(double* a, int n, int hb, double* b, int nrhs) const noexcept {
    return run_pbsv(dpbsv_fn_, a, n, hb, b, nrhs, 'L');
}

}  // namespace bandcompare
