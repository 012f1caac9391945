#include "driver/test_system.h"

#include <algorithm>
#include <cstdint>

#include "driver/random.h"

namespace bandbench {

namespace {

// Element types and the type their products and sums are formed in.
template <typename T>
struct Accumulate;
template <>
struct Accumulate<float> {
    using type = double;
};
template <>
struct Accumulate<double> {
    using type = double;
};

// 0-based offset of element (r, q) of the upper band, 1-based r and q.
inline std::int64_t band_offset(std::int64_t r, std::int64_t q, std::int64_t ld) {
    return (r - 1) * ld + q - 1;
}

template <typename T>
void band_utu(T* a, int n, int hb) {
    using Acc = typename Accumulate<T>::type;
    const std::int64_t ld = hb;
    // Columns from the last to the first and rows from the diagonal upward:
    // finishing A(j, i) reads only A(l, i) with l < j and columns j < i, none
    // of which has been overwritten yet.
    for (std::int64_t i = n; i >= 1; --i) {
        const std::int64_t jlo = std::max<std::int64_t>(1, i - hb);
        for (std::int64_t j = i; j >= jlo; --j) {
            T& aji = a[band_offset(j, i, ld)];
            // A(j, i) = U(j, i) U(j, j) + sum_{l < j} U(l, i) U(l, j)
            aji =
                static_cast<T>(static_cast<Acc>(aji) * static_cast<Acc>(a[band_offset(j, j, ld)]));
            for (std::int64_t l = jlo; l < j; ++l) {
                aji = static_cast<T>(static_cast<Acc>(aji) +
                                     static_cast<Acc>(a[band_offset(l, i, ld)]) *
                                         static_cast<Acc>(a[band_offset(l, j, ld)]));
            }
        }
    }
}

}  // namespace

void band_utu_s(float* a, int n, int hb) { band_utu(a, n, hb); }

void band_utu_d(double* a, int n, int hb) { band_utu(a, n, hb); }

void build_test_system(float* a, float* b, float* x, int n, int hb, int nrhs) {
    // A negative half bandwidth describes no band; taking it as 0 keeps every
    // access inside the n slots of a diagonal matrix.
    hb = std::max(hb, 0);
    const std::int64_t ld = hb;
    const std::int64_t rows = std::max(n, 0);
    const std::int64_t columns = std::max(nrhs, 0);

    reseed_test_random();

    // U: the slots in storage order receive 1, 2, ..., hb, 1, 2, ...; a row
    // has hb + 1 slots, so every element of column q holds 1 + ((q-1) mod hb).
    const std::int64_t slots = rows > 0 ? (rows - 1) * ld + rows : 0;
    int counter = 0;
    for (std::int64_t k = 0; k < slots; ++k) {
        ++counter;
        if (counter > hb) counter = 1;
        a[k] = static_cast<float>(counter);
    }

    band_utu_s(a, n, hb);

    for (std::int64_t r = 1; r <= rows; ++r) a[band_offset(r, r, ld)] *= 10.0F;

    for (std::int64_t k = 0; k < columns; ++k) {
        float* xk = x + k * rows;
        for (std::int64_t i = 0; i < rows; ++i) xk[i] = static_cast<float>(uniform_random());
    }

    // b(i) = A(i, i) x(i) + sum_{q < i} A(q, i) x(q) + sum_{q > i} A(i, q) x(q),
    // the lower triangle read from the upper band, each partial sum rounded.
    for (std::int64_t k = 0; k < columns; ++k) {
        const float* xk = x + k * rows;
        float* bk = b + k * rows;
        for (std::int64_t i = 1; i <= rows; ++i) {
            float sum = static_cast<float>(static_cast<double>(a[band_offset(i, i, ld)]) *
                                           static_cast<double>(xk[i - 1]));
            for (std::int64_t q = std::max<std::int64_t>(1, i - ld); q < i; ++q) {
                sum = static_cast<float>(static_cast<double>(sum) +
                                         static_cast<double>(a[band_offset(q, i, ld)]) *
                                             static_cast<double>(xk[q - 1]));
            }
            const std::int64_t qhi = std::min(rows, i + ld);
            for (std::int64_t q = i + 1; q <= qhi; ++q) {
                sum = static_cast<float>(static_cast<double>(sum) +
                                         static_cast<double>(a[band_offset(i, q, ld)]) *
                                             static_cast<double>(xk[q - 1]));
            }
            bk[i - 1] = sum;
        }
    }
}

}  // namespace bandbench
