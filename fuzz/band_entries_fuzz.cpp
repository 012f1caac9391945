// libFuzzer target over the public C entries of every family: arbitrary
// small orders, half bandwidths, right-hand-side counts and slab heights
// (negative ones too), team sizes, null arrays and raw matrix bytes (NaN,
// infinities, negative and subnormal values).  Built with AddressSanitizer
// and UndefinedBehaviorSanitizer, so a read or write outside the arrays,
// a leak or undefined arithmetic ends the run.  Beyond that, every call must
// return one of its documented INFO values, touch nothing when it rejects
// an argument, and give the bytes of a team of one when it succeeds.
//
// Input layout (missing bytes read as zero):
//   0  element type (bits 0-1: s d c z) and entry (bits 2-3: band_solve,
//      band_factor, band_solve_with_factor, band_factor_solve; bit 4 set:
//      band_pbsv instead, and the pair band_pbtrf / band_pbtrs beside it,
//      with UPLO 'U' when bit 5 is set, 'L' otherwise, and an illegal UPLO
//      when bit 6 is set)
//   1  n         (bit 7 set: -(bits 0-2); clear: 2 * byte + bit 7 of byte
//      7, 0..255, so that trees of several levels occur)
//   2  hb        (signed byte, folded into -23..23; 0x7f with n = 1 and a
//      slab entry: INT_MAX, whose band array is still one element)
//   3  nrhs      (signed byte, folded into -4..4)
//   4  team size: bit 7 clear, a team of 1 + (byte mod 8) threads, beyond
//      the processor count; set, set_team_size with -(bits 0-5) when bit 6
//      is set, 4 * (bits 0-5) otherwise
//   5  slab_rows (signed byte, folded into -19..19; 0x7f INT_MAX, 0x80
//      INT_MIN); for band_pbsv: LDAB = KD + 1 + (bits 0-3 folded into
//      -2..5), LDB = max(1, N) + (bits 4-7 folded into -2..5)
//   6  bit 7 set: bits 0-2 pass a null band array, right-hand side, work area
//   7  bit 0 set: the diagonal is made to dominate its row where the values
//      are finite, so that most such solves succeed and reach every sweep
//   8- matrix, right-hand side and work bytes, in that order, repeated
//      cyclically when the input is shorter
#include <algorithm>
#include <climits>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "bandsolve.h"
#include "threads/sync.h"
#include "threads/team_size.h"

namespace {

[[noreturn]] void fail(const char* what, int info) {
    std::fprintf(stderr, "band_entries_fuzz: %s (INFO %d)\n", what, info);
    std::abort();
}

int fold(std::uint8_t byte, int limit) {
    return static_cast<int>(static_cast<std::int8_t>(byte)) % limit;
}

/// Bytes of the input after the header, read cyclically.
class Bytes {
  public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    void fill(void* out, std::size_t bytes) {
        auto* p = static_cast<std::uint8_t*>(out);
        for (std::size_t i = 0; i < bytes; ++i) p[i] = size_ == 0 ? 0 : data_[pos_++ % size_];
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

/// An array of exactly `count` elements (a zero-length allocation for 0), so
/// that AddressSanitizer catches the first element read or written beyond
/// it; or null when asked.
template <typename T>
struct Array {
    std::unique_ptr<T[]> data;
    std::size_t count = 0;
    bool null = false;

    Array(std::size_t n, bool is_null, Bytes& bytes) : data(new T[n]), count(n), null(is_null) {
        bytes.fill(data.get(), n * sizeof(T));
    }
    T* get() const { return null ? nullptr : data.get(); }
    std::vector<std::uint8_t> snapshot() const {
        const auto* p = reinterpret_cast<const std::uint8_t*>(data.get());
        return std::vector<std::uint8_t>(p, p + count * sizeof(T));
    }
    bool same(const std::vector<std::uint8_t>& bytes) const {
        return bytes.size() == count * sizeof(T) &&
               (count == 0 || std::memcmp(data.get(), bytes.data(), bytes.size()) == 0);
    }
    /// As `same`, but any NaN matches any NaN: which operand's NaN an
    /// operation passes on is left open by IEEE 754, and two code paths
    /// with the same operations may be compiled with commuted operands.
    bool same_but_nans(const Array& other) const {
        using Part = decltype(std::real(T{}));
        constexpr std::size_t parts = sizeof(T) / sizeof(Part);
        if (other.count != count) return false;
        const auto* x = reinterpret_cast<const Part*>(data.get());
        const auto* y = reinterpret_cast<const Part*>(other.data.get());
        for (std::size_t i = 0; i < count * parts; ++i)
            if (std::memcmp(&x[i], &y[i], sizeof(Part)) != 0 && !(x[i] != x[i] && y[i] != y[i]))
                return false;
        return true;
    }
};

template <typename T>
double magnitude(T v) {
    if constexpr (std::is_floating_point_v<T>)
        return v < 0 ? -double(v) : double(v);
    else
        return std::abs(std::complex<double>(v.real(), v.imag()));
}

/// Makes each finite diagonal element exceed the sum of its row's finite
/// magnitudes, keeping its sign: negative diagonals still fail.
template <typename T>
void dominate(T* a, long long n, long long hb) {
    auto at = [&](long long r, long long c) -> T& { return a[(r - 1) * hb + c - 1]; };
    for (long long r = 1; r <= n; ++r) {
        double off = 0;
        for (long long q = std::max(1LL, r - hb); q <= std::min(n, r + hb); ++q) {
            if (q == r) continue;
            const double m = magnitude(q < r ? at(q, r) : at(r, q));
            if (m <= 1e30) off += m;
        }
        T& d = at(r, r);
        const double m = magnitude(d);
        if (!(m <= 1e30)) continue;  // NaN and infinity stay
        const double grown = m + off + 1;
        if constexpr (std::is_floating_point_v<T>)
            d = static_cast<T>(d < 0 ? -grown : grown);
        else
            d = T(static_cast<typename T::value_type>(d.real() < 0 ? -grown : grown), d.imag());
    }
}

struct Call {
    int entry = 0, n = 0, hb = 0, nrhs = 0, slab_rows = 0;
};

/// Calls the entry on the arrays; returns INFO.
template <typename T>
int call(const Call& c, T* a, T* b, T* work) {
    int info = 12345;
    if constexpr (std::is_same_v<T, float>) {
        switch (c.entry) {
            case 0:
                band_solve_s(a, &c.n, &c.hb, b, &c.nrhs, work, &info);
                break;
            case 1:
                band_factor_s(a, &c.n, &c.hb, &c.slab_rows, &info);
                break;
            case 2:
                band_solve_with_factor_s(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
            default:
                band_factor_solve_s(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
        }
    } else if constexpr (std::is_same_v<T, double>) {
        switch (c.entry) {
            case 0:
                band_solve_d(a, &c.n, &c.hb, b, &c.nrhs, work, &info);
                break;
            case 1:
                band_factor_d(a, &c.n, &c.hb, &c.slab_rows, &info);
                break;
            case 2:
                band_solve_with_factor_d(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
            default:
                band_factor_solve_d(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
        }
    } else if constexpr (std::is_same_v<T, bandsolve_complex_float>) {
        switch (c.entry) {
            case 0:
                band_solve_c(a, &c.n, &c.hb, b, &c.nrhs, work, &info);
                break;
            case 1:
                band_factor_c(a, &c.n, &c.hb, &c.slab_rows, &info);
                break;
            case 2:
                band_solve_with_factor_c(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
            default:
                band_factor_solve_c(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
        }
    } else {
        switch (c.entry) {
            case 0:
                band_solve_z(a, &c.n, &c.hb, b, &c.nrhs, work, &info);
                break;
            case 1:
                band_factor_z(a, &c.n, &c.hb, &c.slab_rows, &info);
                break;
            case 2:
                band_solve_with_factor_z(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
            default:
                band_factor_solve_z(a, &c.n, &c.hb, b, &c.nrhs, &c.slab_rows, &info);
                break;
        }
    }
    return info;
}

/// Whether the arguments are legal for the entry: arrays that would be read
/// are given and hb >= 0.
bool legal(const Call& c, bool a_null, bool b_null, bool work_null) {
    if (c.hb < 0) return false;
    const bool rows = c.n > 0, columns = c.n > 0 && c.nrhs > 0;
    switch (c.entry) {
        case 0:
            return !(rows && a_null) && !(columns && b_null) && !(rows && c.hb > 0 && work_null);
        case 1:
            return !(rows && a_null);
        case 2:
            return !(columns && (a_null || b_null));
        default:
            return !(rows && a_null) && !(columns && b_null);
    }
}

/// INFO values the entry may return here: 0, 1 for a failed pivot where
/// there is a factorisation, and the negative positions of its arguments.
/// A call short of sync objects runs on its caller alone, so no entry but
/// band_pbsv_? (whose copy may not be allocated) returns
/// BANDSOLVE_INFO_NO_RESOURCES, and it is not accepted from any here.
bool documented(const Call& c, int info) {
    switch (c.entry) {
        case 0:
            return info == 0 || info == 1 || info == -1 || info == -3 || info == -4 || info == -6;
        case 1:
            return info == 0 || info == 1 || info == -1 || info == -3;
        case 2:
            return info == 0 || info == -1 || info == -3 || info == -4;
        default:
            return info == 0 || info == 1 || info == -1 || info == -3 || info == -4;
    }
}

template <typename T>
void run(const Call& c, std::uint8_t null_bits, bool make_dominant, int team_byte,
         const std::uint8_t* rest, std::size_t rest_size) {
    const bool shaped = c.n > 0 && c.hb >= 0;
    const std::size_t band = shaped ? std::size_t(c.n - 1) * (std::size_t(c.hb) + 1) + 1 : 0;
    const std::size_t rhs = shaped && c.nrhs > 0 ? std::size_t(c.n) * c.nrhs : 0;
    const std::size_t work = shaped && c.entry == 0 ? 2 * std::size_t(c.n) * c.hb : 0;
    Bytes bytes(rest, rest_size);
    Array<T> a(band, null_bits & 1, bytes), b(rhs, null_bits & 2, bytes),
        w(work, null_bits & 4, bytes);
    if (make_dominant && shaped) dominate(a.data.get(), c.n, c.hb);
    const auto a0 = a.snapshot(), b0 = b.snapshot(), w0 = w.snapshot();

    if (team_byte & 0x80) {
        const int p = (team_byte & 0x40) ? -(team_byte & 0x3f) : 4 * (team_byte & 0x3f);
        set_team_size(&p);
    } else {
        bandsolve::detail::force_team_size(1 + team_byte % 8);
    }
    int team = 0;
    get_team_size(&team);
    if (team < 1 || team > bandsolve::MAX_TEAM_SIZE) fail("team size out of range", team);

    const int info = call<T>(c, a.get(), b.get(), w.get());
    if (!documented(c, info)) fail("undocumented INFO", info);
    const bool is_legal = legal(c, a.null, b.null, w.null);
    if (is_legal != (info >= 0)) fail("INFO disagrees with the arguments", info);
    if (info < 0 && !(a.same(a0) && b.same(b0) && w.same(w0)))
        fail("a rejected call touched its arrays", info);
    if (c.entry == 2 && !a.same(a0)) fail("solve with a factor wrote the factor", info);
    if (info != 0 || team == 1) return;

    // The same call by a team of one gives the same bytes.
    Bytes again(rest, rest_size);
    Array<T> a1(band, null_bits & 1, again), b1(rhs, null_bits & 2, again),
        w1(work, null_bits & 4, again);
    if (make_dominant && shaped) dominate(a1.data.get(), c.n, c.hb);
    bandsolve::detail::force_team_size(1);
    const int info1 = call<T>(c, a1.get(), b1.get(), w1.get());
    if (info1 != info) fail("a team of one gives another INFO", info1);
    if (!(a1.same(a.snapshot()) && b1.same(b.snapshot()) && w1.same(w.snapshot())))
        fail("a team of one gives other bytes", info1);
}

/// The LAPACK-style entry of type T.
template <typename T>
void call_pbsv(const char* uplo, const int* n, const int* kd, const int* nrhs, T* ab,
               const int* ldab, T* b, const int* ldb, int* info) {
    if constexpr (std::is_same_v<T, float>)
        band_pbsv_s(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
    else if constexpr (std::is_same_v<T, double>)
        band_pbsv_d(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
    else if constexpr (std::is_same_v<T, bandsolve_complex_float>)
        band_pbsv_c(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
    else
        band_pbsv_z(uplo, n, kd, nrhs, ab, ldab, b, ldb, info);
}

/// The LAPACK-style factorisation and solve of type T.
template <typename T>
int call_pbtrf(const char* uplo, const int* n, const int* kd, T* ab, const int* ldab) {
    int info = 12345;
    if constexpr (std::is_same_v<T, float>)
        band_pbtrf_s(uplo, n, kd, ab, ldab, &info);
    else if constexpr (std::is_same_v<T, double>)
        band_pbtrf_d(uplo, n, kd, ab, ldab, &info);
    else if constexpr (std::is_same_v<T, bandsolve_complex_float>)
        band_pbtrf_c(uplo, n, kd, ab, ldab, &info);
    else
        band_pbtrf_z(uplo, n, kd, ab, ldab, &info);
    return info;
}
template <typename T>
int call_pbtrs(const char* uplo, const int* n, const int* kd, const int* nrhs, const T* ab,
               const int* ldab, T* b, const int* ldb) {
    int info = 12345;
    if constexpr (std::is_same_v<T, float>)
        band_pbtrs_s(uplo, n, kd, nrhs, ab, ldab, b, ldb, &info);
    else if constexpr (std::is_same_v<T, double>)
        band_pbtrs_d(uplo, n, kd, nrhs, ab, ldab, b, ldb, &info);
    else if constexpr (std::is_same_v<T, bandsolve_complex_float>)
        band_pbtrs_c(uplo, n, kd, nrhs, ab, ldab, b, ldb, &info);
    else
        band_pbtrs_z(uplo, n, kd, nrhs, ab, ldab, b, ldb, &info);
    return info;
}

/// band_pbsv on arrays of exactly LDAB * N and LDB * NRHS elements: a
/// rejected call returns LAPACK's INFO for the first illegal argument and
/// touches nothing; a failed pivot leaves B untouched; a success gives the
/// bytes of a team of one.  band_pbtrf_? and band_pbtrs_? on the same
/// arguments: each rejects what it must in its own argument order, touching
/// nothing, and with legal arguments the two in turn give band_pbsv_?'s
/// INFO and bytes.
template <typename T>
void run_pbsv(const Call& c, char uplo, int ldab_delta, int ldb_delta, std::uint8_t null_bits,
              bool make_dominant, int team_byte, const std::uint8_t* rest, std::size_t rest_size) {
    const int n = c.n, kd = c.hb, nrhs = c.nrhs;
    const int ldab = kd + 1 + ldab_delta, ldb = std::max(1, n) + ldb_delta;
    const std::size_t ab_count = n > 0 && ldab > 0 ? std::size_t(ldab) * n : 0;
    const std::size_t b_count = ldb > 0 && nrhs > 0 ? std::size_t(ldb) * nrhs : 0;
    auto make = [&](Bytes& bytes) {
        Array<T> ab(ab_count, null_bits & 1, bytes), b(b_count, null_bits & 2, bytes);
        // Diagonals that outweigh everything else in the array, sign kept.
        if (make_dominant && ab_count > 0 && kd >= 0 && ldab >= kd + 1) {
            double total = 0;
            for (std::size_t i = 0; i < ab_count; ++i)
                if (magnitude(ab.data[i]) <= 1e30) total += magnitude(ab.data[i]);
            for (int j = 0; j < n; ++j) {
                T& d = ab.data[std::size_t(j) * ldab + (uplo == 'U' ? kd : 0)];
                const double grown = total + 1;
                if constexpr (std::is_floating_point_v<T>)
                    d = static_cast<T>(d < 0 ? -grown : grown);
                else
                    d = T(static_cast<typename T::value_type>(d.real() < 0 ? -grown : grown),
                          d.imag());
            }
        }
        return std::pair{std::move(ab), std::move(b)};
    };
    Bytes bytes(rest, rest_size);
    auto [ab, b] = make(bytes);
    const auto ab0 = ab.snapshot(), b0 = b.snapshot();
    bandsolve::detail::force_team_size(1 + (team_byte & 0x7f) % 8);

    int expected = 0;
    if (uplo != 'U' && uplo != 'L')
        expected = -1;
    else if (n < 0)
        expected = -2;
    else if (kd < 0)
        expected = -3;
    else if (nrhs < 0)
        expected = -4;
    else if (n > 0 && ab.null)
        expected = -5;
    else if (ldab < kd + 1)
        expected = -6;
    else if (n > 0 && nrhs > 0 && b.null)
        expected = -7;
    else if (ldb < std::max(1, n))
        expected = -8;

    int info = 12345;
    call_pbsv<T>(&uplo, &n, &kd, &nrhs, ab.get(), &ldab, b.get(), &ldb, &info);

    Bytes same(rest, rest_size);
    auto [pair_ab, pair_b] = make(same);
    if (expected < 0) {
        // band_pbtrf_? has no NRHS, B or LDB, and takes AB and LDAB one
        // position earlier.
        int trf_expected = expected;
        if (expected == -4 || expected == -7 || expected == -8) trf_expected = 0;
        if (expected == -5 || expected == -6) trf_expected = expected + 1;
        const int trs_info =
            call_pbtrs<T>(&uplo, &n, &kd, &nrhs, pair_ab.get(), &ldab, pair_b.get(), &ldb);
        if (trs_info != expected) fail("band_pbtrs: wrong INFO for an illegal argument", trs_info);
        if (!(pair_ab.same(ab0) && pair_b.same(b0)))
            fail("band_pbtrs: a rejected call touched", trs_info);
        if (trf_expected < 0) {
            const int trf_info = call_pbtrf<T>(&uplo, &n, &kd, pair_ab.get(), &ldab);
            if (trf_info != trf_expected)
                fail("band_pbtrf: wrong INFO for an illegal argument", trf_info);
            if (!pair_ab.same(ab0)) fail("band_pbtrf: a rejected call touched", trf_info);
        }
    } else {
        int pair_info = call_pbtrf<T>(&uplo, &n, &kd, pair_ab.get(), &ldab);
        if (pair_info == 0)
            pair_info =
                call_pbtrs<T>(&uplo, &n, &kd, &nrhs, pair_ab.get(), &ldab, pair_b.get(), &ldb);
        if (pair_info != info) fail("band_pbtrf/band_pbtrs: INFO not band_pbsv's", pair_info);
        if (!(pair_ab.same_but_nans(ab) && pair_b.same_but_nans(b)))
            fail("band_pbtrf/band_pbtrs: bytes not band_pbsv's", pair_info);
    }

    if (expected < 0) {
        if (info != expected) fail("band_pbsv: wrong INFO for an illegal argument", info);
        if (!(ab.same(ab0) && b.same(b0))) fail("band_pbsv: a rejected call touched", info);
        return;
    }
    if (info < 0 || info > n) fail("band_pbsv: undocumented INFO", info);
    if (info > 0 && !b.same(b0)) fail("band_pbsv: a failed factorisation wrote B", info);
    if (info != 0) return;

    Bytes again(rest, rest_size);
    auto [ab1, b1] = make(again);
    bandsolve::detail::force_team_size(1);
    int info1 = 12345;
    call_pbsv<T>(&uplo, &n, &kd, &nrhs, ab1.get(), &ldab, b1.get(), &ldb, &info1);
    if (info1 != info) fail("band_pbsv: a team of one gives another INFO", info1);
    if (!(ab1.same(ab.snapshot()) && b1.same(b.snapshot())))
        fail("band_pbsv: a team of one gives other bytes", info1);
}

/// Both process tables free: every sync object can be created.
void check_sync_table() {
    int ids[bandsolve::MAX_SYNC_OBJECTS];
    int made = 0;
    for (int& id : ids) {
        bandsolve::sync_create(id);
        made += id != 0;
    }
    for (int id : ids) bandsolve::sync_destroy(id);
    if (made != bandsolve::MAX_SYNC_OBJECTS) fail("sync objects leaked", made);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t h[8] = {};
    std::memcpy(h, data, std::min<std::size_t>(size, 8));
    const std::uint8_t* rest = size > 8 ? data + 8 : nullptr;
    const std::size_t rest_size = size > 8 ? size - 8 : 0;

    Call c;
    c.entry = (h[0] >> 2) & 3;
    c.n = (h[1] & 0x80) ? -(h[1] & 7) : 2 * h[1] + (h[7] >> 7);
    c.hb = fold(h[2], 24);
    c.nrhs = fold(h[3], 5);
    c.slab_rows = h[5] == 0x7f ? INT_MAX : h[5] == 0x80 ? INT_MIN : fold(h[5], 20);
    if (h[2] == 0x7f && c.n == 1 && c.entry != 0 && !(h[0] & 0x10)) c.hb = INT_MAX;
    const std::uint8_t null_bits = (h[6] & 0x80) ? (h[6] & 7) : 0;
    const bool make_dominant = h[7] & 1;
    if (h[0] & 0x10) {
        const char uplo = (h[0] & 0x40) ? 'X' : (h[0] & 0x20) ? 'U' : 'L';
        const int ldab_delta = (h[5] & 15) % 8 - 2, ldb_delta = (h[5] >> 4) % 8 - 2;
        switch (h[0] & 3) {
            case 0:
                run_pbsv<float>(c, uplo, ldab_delta, ldb_delta, null_bits, make_dominant, h[4],
                                rest, rest_size);
                break;
            case 1:
                run_pbsv<double>(c, uplo, ldab_delta, ldb_delta, null_bits, make_dominant, h[4],
                                 rest, rest_size);
                break;
            case 2:
                run_pbsv<bandsolve_complex_float>(c, uplo, ldab_delta, ldb_delta, null_bits,
                                                  make_dominant, h[4], rest, rest_size);
                break;
            default:
                run_pbsv<bandsolve_complex_double>(c, uplo, ldab_delta, ldb_delta, null_bits,
                                                   make_dominant, h[4], rest, rest_size);
                break;
        }
    } else {
        switch (h[0] & 3) {
            case 0:
                run<float>(c, null_bits, make_dominant, h[4], rest, rest_size);
                break;
            case 1:
                run<double>(c, null_bits, make_dominant, h[4], rest, rest_size);
                break;
            case 2:
                run<bandsolve_complex_float>(c, null_bits, make_dominant, h[4], rest, rest_size);
                break;
            default:
                run<bandsolve_complex_double>(c, null_bits, make_dominant, h[4], rest, rest_size);
                break;
        }
    }

    static unsigned long runs = 0;
    if (++runs % 256 == 0) check_sync_table();
    return 0;
}
