// Element arithmetic of the four solver families.
//
// Everything that differs between real single, real double, complex single
// and complex double lives here; the block steps and kernels are written
// once over ElementTraits<T>.
//
// Rounding rules, which define the solver's results bit for bit:
//  - single-precision families evaluate every stored result in double
//    precision and round it to single precision once, when it is stored;
//  - an update t - x*y (real) or each part of it (complex) is rounded once;
//    a complex product x*y is formed in the evaluation precision and not
//    rounded;
//  - the one accumulation (the separator's inner product) is rounded to the
//    component precision after every addition;
//  - complex matrices are complex symmetric: nothing is ever conjugated;
//  - except under HermitianTraits (the slab scheme of the LAPACK-style
//    entries), where mirrored() conjugates an element read from its
//    transposed position, as A = U^H U requires.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace bandsolve {

/// Row, column and element positions: 64 bits, so that n*(hb+1) above 2^31
/// never wraps.
using Index = std::int64_t;

using complex_float = std::complex<float>;
using complex_double = std::complex<double>;

/// Whether Smith's division and the square root below can overflow in E for
/// finite parts of component type C: only when E's exponent range is not
/// wider than C's (complex double).  The single-precision family evaluates
/// in double, where a sum of a few parts below 2^128 stays far below the
/// largest double.
template <typename C, typename E>
inline constexpr bool complex_parts_may_overflow =
    std::numeric_limits<E>::max_exponent <= std::numeric_limits<C>::max_exponent + 2;

/// The parts of Smith's scaling that depend on the divisor y = c + di
/// alone, in the evaluation precision E: with |c| > |d|, r = d/c and
/// den = c + d*r, otherwise r = c/d and den = c*r + d.  Dividing many
/// elements by one pivot computes them once; every quotient is the same bit
/// for bit as complex_divide's.
template <typename E>
struct ComplexDivisor {
    E r;
    E den;
    bool real_larger;  // |c| > |d|
    bool zero;         // c = d = 0
};

/// A divisor that keeps c and d besides, and whether its denominator
/// overflowed, for the rare division that has to be rescaled (see
/// complex_divide_by).
template <typename E>
struct RescalableComplexDivisor : ComplexDivisor<E> {
    E c, d;
    bool huge;  // den is infinite
};

/// The divisor type of component type C evaluated in E: rescalable only
/// where the parts may overflow.
template <typename C, typename E>
using ComplexDivisorOf = std::conditional_t<complex_parts_may_overflow<C, E>,
                                            RescalableComplexDivisor<E>, ComplexDivisor<E>>;

/// The rescalable divisor repeats the plain one's statements rather than
/// wrap them: with the plain divisor formed through one more function, GCC
/// 12 at -O3 gave the complex single family's fused slab forward step an
/// ulp away from forward_slab's (see BANDSOLVE_KEEP_VECTOR_ROUNDING in the
/// top-level CMakeLists.txt); the byte comparisons of the slab kernels
/// catch it.
template <typename C, typename E = C>
ComplexDivisorOf<C, E> complex_divisor(std::complex<C> y) noexcept {
    const E c = y.real(), d = y.imag();
    if constexpr (complex_parts_may_overflow<C, E>) {
        if (c == 0 && d == 0) return {{E(0), E(0), false, true}, c, d, false};
        if (std::fabs(c) > std::fabs(d)) {
            const E r = d / c, den = c + d * r;
            return {{r, den, true, false}, c, d, std::isinf(den)};
        }
        const E r = c / d, den = c * r + d;
        return {{r, den, false, false}, c, d, std::isinf(den)};
    } else {
        if (c == 0 && d == 0) return {E(0), E(0), false, true};
        if (std::fabs(c) > std::fabs(d)) {
            const E r = d / c;
            return {r, c + d * r, true, false};
        }
        const E r = c / d;
        return {r, c * r + d, false, false};
    }
}

namespace detail {

template <typename E>
bool finite_parts(E a, E b) noexcept {
    return std::fabs(a) <= std::numeric_limits<E>::max() &&
           std::fabs(b) <= std::numeric_limits<E>::max();
}

/// x / y for finite x = a + bi and nonzero finite y where Smith's
/// denominator or a numerator overflowed: the same formula on x/2 and y/2,
/// the same quotient.  r is unchanged (a ratio of y's parts); with
/// |r| <= 1 every part of the halved numerators and denominator stays below
/// the largest E.  Halving is exact but for subnormal parts, whose
/// contribution is then far below the quotient's last place (or the
/// quotient underflows or overflows anyway).
template <typename C, typename E>
[[gnu::noinline, gnu::cold]] std::complex<C> complex_divide_halved(
    E a, E b, const RescalableComplexDivisor<E>& y) noexcept {
    const E half = 0.5;
    const E r = y.r, ha = a * half, hb = b * half, hc = y.c * half, hd = y.d * half;
    if (y.real_larger) {
        const E den = hc + hd * r;
        return {static_cast<C>((ha + hb * r) / den), static_cast<C>((hb - ha * r) / den)};
    }
    const E den = hc * r + hd;
    return {static_cast<C>((ha * r + hb) / den), static_cast<C>((hb * r - ha) / den)};
}

/// complex_divide_by where the parts may overflow E (complex double):
/// Smith's formula, rescaled (complex_divide_halved) where a numerator or
/// the denominator overflows although x and y are finite.  Forced inline:
/// with the checks GCC 12 would call it out of line from the innermost
/// loops of the slab kernels, at twice band_factor_solve_z's time.
template <typename C, typename E>
[[gnu::always_inline]] inline std::complex<C> complex_divide_by_checked(
    std::complex<C> x, const RescalableComplexDivisor<E>& y) noexcept {
    const E a = x.real(), b = x.imag(), r = y.r, den = y.den;
    if (y.zero) {
        const C nan = std::numeric_limits<C>::quiet_NaN();
        return {nan, nan};
    }
    const E re = y.real_larger ? a + b * r : a * r + b;
    const E im = y.real_larger ? b - a * r : b * r - a;
    if ((std::isinf(re) || std::isinf(im) || y.huge) && finite_parts(a, b) &&
        finite_parts(y.c, y.d)) [[unlikely]]
        return complex_divide_halved<C, E>(a, b, y);
    return {static_cast<C>(re / den), static_cast<C>(im / den)};
}

}  // namespace detail

/// x / y with y's parts from complex_divisor: the final parts evaluated in
/// E and rounded to C.  A zero divisor gives NaN in both parts.  Where a
/// numerator or the denominator overflows E although x and y are finite
/// (complex double near the top of the range), the division is rescaled
/// (detail::complex_divide_by_checked); every other quotient is the
/// formula's.
template <typename C, typename E = C>
std::complex<C> complex_divide_by(std::complex<C> x, const ComplexDivisorOf<C, E>& y) noexcept {
    if constexpr (complex_parts_may_overflow<C, E>) {
        return detail::complex_divide_by_checked<C, E>(x, y);
    } else {
        const E a = x.real(), b = x.imag(), r = y.r, den = y.den;
        if (y.zero) {
            const C nan = std::numeric_limits<C>::quiet_NaN();
            return {nan, nan};
        }
        if (y.real_larger)
            return {static_cast<C>((a + b * r) / den), static_cast<C>((b - a * r) / den)};
        return {static_cast<C>((a * r + b) / den), static_cast<C>((b * r - a) / den)};
    }
}

/// x / y of complex numbers by Smith's scaling, with the evaluation
/// precision E and the rounding to the component precision C of the two
/// final parts only.  A zero divisor gives NaN in both parts.
template <typename C, typename E = C>
std::complex<C> complex_divide(std::complex<C> x, std::complex<C> y) noexcept {
    return complex_divide_by<C, E>(x, complex_divisor<C, E>(y));
}

/// |x| of a complex number, scaled to avoid overflow; evaluated and
/// returned in double precision for both component precisions.  Infinite
/// only where |x| itself is (about) above the largest double.
template <typename C>
double complex_modulus(std::complex<C> x) noexcept {
    const double re = std::fabs(static_cast<double>(x.real()));
    const double im = std::fabs(static_cast<double>(x.imag()));
    if (im == 0) return re;
    if (re == 0) return im;
    if (re > im) {
        const double q = im / re;
        return re * std::sqrt(1.0 + q * q);
    }
    const double q = re / im;
    return im * std::sqrt(1.0 + q * q);
}

namespace detail {

/// The square root of finite z = x + yi where |x| + m overflowed E (m
/// infinite, or |x| and m together above the largest E): m and the sum
/// formed for z/4, whose square root is half z's.  The quotient q of the
/// parts is z's own; m/4 is the modulus's formula on z/4 (exact scaling
/// but for a subnormal part, negligible beside the other part above
/// 2^1020).  Depends on z alone, so that complex_sqrt and the pivot step's
/// modulus take it alike.
template <typename C, typename E>
[[gnu::noinline, gnu::cold]] std::complex<C> complex_sqrt_quartered(E x, E y) noexcept {
    const E quarter = 0.25;
    const E ax = std::fabs(x), ay = std::fabs(y);
    const bool smaller = ay < ax;
    const E q = smaller ? y / x : x / y;
    const E m = (smaller ? ax : ay) * quarter * std::sqrt(1 + q * q);
    const C t = static_cast<C>(2 * std::sqrt((ax * quarter + m) / 2));
    const C h = static_cast<C>(ay / (2 * static_cast<E>(t)));
    std::complex<C> result = x >= 0 ? std::complex<C>(t, h) : std::complex<C>(h, t);
    if (y < 0) result.imag(-result.imag());
    return result;
}

}  // namespace detail

/// The principal square root of z = x + yi once m = |z| is known, evaluated
/// as complex_sqrt does: t = sqrt((|x| + m)/2) rounded to C, h = |y|/(2t)
/// evaluated in E from the rounded t and rounded once.  Where |x| + m
/// overflows E for finite z (complex double, |z| near the largest double;
/// m may be infinite), t is formed from z/4 instead
/// (detail::complex_sqrt_quartered).
template <typename C, typename E = C>
[[gnu::always_inline]] inline std::complex<C> complex_sqrt_from_modulus(std::complex<C> z,
                                                                        E m) noexcept {
    const E x = z.real(), y = z.imag();
    const E ax = std::fabs(x), ay = std::fabs(y);
    if constexpr (complex_parts_may_overflow<C, E>) {
        if (std::isinf(ax + m) && detail::finite_parts(x, y)) [[unlikely]]
            return detail::complex_sqrt_quartered<C, E>(x, y);
    }
    const C t = static_cast<C>(std::sqrt((ax + m) / 2));
    if (t == 0) return {0, 0};
    const C h = static_cast<C>(ay / (2 * static_cast<E>(t)));
    std::complex<C> result = x >= 0 ? std::complex<C>(t, h) : std::complex<C>(h, t);
    if (y < 0) result.imag(-result.imag());
    return result;
}

/// Principal square root of a complex number.  m and (|x| + m)/2 are
/// evaluated in E; t is rounded to C; h = |y|/(2t) is evaluated in E from the
/// rounded t and rounded once.
template <typename C, typename E = C>
std::complex<C> complex_sqrt(std::complex<C> z) noexcept {
    const E x = z.real(), y = z.imag();
    const E ax = std::fabs(x), ay = std::fabs(y);
    E m;
    if (ay < ax) {
        const E q = y / x;
        m = ax * std::sqrt(1 + q * q);
    } else if (y != 0) {
        const E q = x / y;
        m = ay * std::sqrt(1 + q * q);
    } else {
        m = 0;
    }
    return complex_sqrt_from_modulus<C, E>(z, m);
}

/// -x by flipping the sign bit: the negation, which GCC's folder does not
/// see through, so that it cannot turn a + b*negated(c) back into a - b*c.
template <typename E>
E negated(E x) noexcept {
    using Bits = std::conditional_t<sizeof(E) == 8, std::uint64_t, std::uint32_t>;
    static_assert(sizeof(Bits) == sizeof(E));
    return std::bit_cast<E>(std::bit_cast<Bits>(x) ^ (Bits{1} << (8 * sizeof(E) - 1)));
}

template <typename T>
struct ElementTraits;

/// Real families.  R is the component type, E the type every stored result
/// is evaluated in.
template <typename R, typename E>
struct RealTraits {
    using Real = R;
    using Eval = E;
    static constexpr bool is_complex = false;

    /// t - x*y, rounded once.
    static R update(R t, R x, R y) noexcept {
        return static_cast<R>(static_cast<E>(t) - static_cast<E>(x) * static_cast<E>(y));
    }
    /// s + x*y, rounded once: one step of the separator's accumulation.
    static R add_product(R s, R x, R y) noexcept {
        return static_cast<R>(static_cast<E>(s) + static_cast<E>(x) * static_cast<E>(y));
    }
    static R subtract(R t, R s) noexcept {
        return static_cast<R>(static_cast<E>(t) - static_cast<E>(s));
    }
    static R divide(R x, R y) noexcept {
        return static_cast<R>(static_cast<E>(x) / static_cast<E>(y));
    }
    static R sqrt(R x) noexcept { return static_cast<R>(std::sqrt(static_cast<E>(x))); }
    /// A divisor prepared once for many divisions: divide_by(x, divisor(y))
    /// is divide(x, y) bit for bit.
    using Divisor = E;
    static Divisor divisor(R y) noexcept { return static_cast<E>(y); }
    static R divide_by(R x, Divisor y) noexcept { return static_cast<R>(static_cast<E>(x) / y); }
    /// A(j, i) from A(i, j): the same element.
    static R mirrored(R x) noexcept { return x; }
    /// A pivot fails when it is not greater than the floor; NaN passes.
    static bool pivot_fails(R d, R floor) noexcept { return d <= floor; }
    /// pivot_fails(d, floor) as false, with root = sqrt(d), or true.
    static bool pivot_root_fails(R d, R floor, R& root) noexcept {
        if (pivot_fails(d, floor)) return true;
        root = sqrt(d);
        return false;
    }
    static R zero() noexcept { return R(0); }
};

template <>
struct ElementTraits<float> : RealTraits<float, double> {};
template <>
struct ElementTraits<double> : RealTraits<double, double> {};

/// Complex symmetric families.
template <typename C, typename E>
struct ComplexTraits {
    using T = std::complex<C>;
    using Real = C;
    using Eval = E;
    static constexpr bool is_complex = true;

    /// The product x*y in E, each part rounded once.  The real part
    /// xr*yr - xi*yi is formed as the sum xr*yr + xi*(-yi), which is the same
    /// value bit for bit (IEEE subtraction is the addition of the negated
    /// operand, and negating a factor negates the product exactly): with a
    /// difference in one part and a sum of products in the other, GCC 12's
    /// vectoriser fuses the pair into one vfmaddsub wherever the target has
    /// fused multiply-adds (FMA, AVX-512), -ffp-contract=off notwithstanding,
    /// and a fused complex double product loses its rounding.
    static std::complex<E> product(T x, T y) noexcept {
        const E xr = x.real(), xi = x.imag(), yr = y.real(), yi = y.imag();
        return {xr * yr + xi * negated(yi), xr * yi + xi * yr};
    }
    /// t - x*y: the product in E, unrounded; each part of the difference
    /// rounded once.
    static T update(T t, T x, T y) noexcept {
        const std::complex<E> p = product(x, y);
        return {static_cast<C>(static_cast<E>(t.real()) - p.real()),
                static_cast<C>(static_cast<E>(t.imag()) - p.imag())};
    }
    static T add_product(T s, T x, T y) noexcept {
        const std::complex<E> p = product(x, y);
        return {static_cast<C>(static_cast<E>(s.real()) + p.real()),
                static_cast<C>(static_cast<E>(s.imag()) + p.imag())};
    }
    static T subtract(T t, T s) noexcept {
        return {static_cast<C>(static_cast<E>(t.real()) - static_cast<E>(s.real())),
                static_cast<C>(static_cast<E>(t.imag()) - static_cast<E>(s.imag()))};
    }
    static T divide(T x, T y) noexcept { return complex_divide<C, E>(x, y); }
    static T sqrt(T x) noexcept { return complex_sqrt<C, E>(x); }
    /// A divisor prepared once for many divisions: divide_by(x, divisor(y))
    /// is divide(x, y) bit for bit.
    using Divisor = ComplexDivisorOf<C, E>;
    static Divisor divisor(T y) noexcept { return complex_divisor<C, E>(y); }
    static T divide_by(T x, const Divisor& y) noexcept { return complex_divide_by<C, E>(x, y); }
    /// A(j, i) from A(i, j): complex symmetric, the same element,
    /// unconjugated.
    static T mirrored(T x) noexcept { return x; }
    /// Fails only for a pivot whose modulus is not above the floor (with a
    /// zero floor: both parts zero); NaN passes.
    static bool pivot_fails(T d, C floor) noexcept {
        return complex_modulus(d) <= static_cast<double>(floor);
    }
    /// pivot_fails(d, floor) as false, with root = sqrt(d), or true.  For
    /// finite parts and E = double, the modulus the test computes is the m
    /// that complex_sqrt would compute again (the same branch on |x| and |y|,
    /// the same quotient up to its sign, which the square removes; zero
    /// parts give the other part exactly in both), so the square root takes
    /// it as it is.
    static bool pivot_root_fails(T d, C floor, T& root) noexcept {
        const double m = complex_modulus(d);
        if (m <= static_cast<double>(floor)) return true;
        if constexpr (std::is_same_v<E, double>) {
            if (std::isfinite(d.real()) && std::isfinite(d.imag())) {
                root = complex_sqrt_from_modulus<C, E>(d, m);
                return false;
            }
        }
        root = sqrt(d);
        return false;
    }
    static T zero() noexcept { return T(0, 0); }
};

template <>
struct ElementTraits<std::complex<float>> : ComplexTraits<float, double> {};
template <>
struct ElementTraits<std::complex<double>> : ComplexTraits<double, double> {
    // The divisions inline wherever they are used (see
    // detail::complex_divide_by_checked).
    [[gnu::always_inline]] static T divide(T x, T y) noexcept {
        return detail::complex_divide_by_checked<double, double>(
            x, complex_divisor<double, double>(y));
    }
    [[gnu::always_inline]] static T divide_by(T x, const Divisor& y) noexcept {
        return detail::complex_divide_by_checked<double, double>(x, y);
    }
};

/// Arithmetic of a Hermitian matrix (A(j, i) = conj A(i, j)) held in
/// std::complex elements, factorised as A = U^H U: the complex arithmetic
/// and rounding of ComplexTraits, with
///  - an element read from its transposed position conjugated (mirrored);
///  - the real pivot of a Hermitian positive-definite factorisation: only the
///    real part of a diagonal element is read (its imaginary part is zero in
///    exact arithmetic), the pivot fails when that real part is not above
///    the floor (NaN passes), and the factor's diagonal is real;
///  - division by such a real diagonal element part by part, each part
///    evaluated in E and rounded once.  Every division of the factorisation
///    and the substitutions is by a diagonal element of the factor.
/// The slab templates take it as their traits argument.
template <typename C, typename E>
struct HermitianTraits : ComplexTraits<C, E> {
    using T = std::complex<C>;

    /// A(j, i) from A(i, j): the conjugate.
    static T mirrored(T x) noexcept { return std::conj(x); }
    static bool pivot_fails(T d, C floor) noexcept { return d.real() <= floor; }
    static T sqrt(T d) noexcept {
        return T(static_cast<C>(std::sqrt(static_cast<E>(d.real()))), C(0));
    }
    static T divide(T x, T real_pivot) noexcept {
        const E d = real_pivot.real();
        return T(static_cast<C>(static_cast<E>(x.real()) / d),
                 static_cast<C>(static_cast<E>(x.imag()) / d));
    }
    using Divisor = E;
    static Divisor divisor(T real_pivot) noexcept { return static_cast<E>(real_pivot.real()); }
    static T divide_by(T x, Divisor d) noexcept {
        return T(static_cast<C>(static_cast<E>(x.real()) / d),
                 static_cast<C>(static_cast<E>(x.imag()) / d));
    }
    static bool pivot_root_fails(T d, C floor, T& root) noexcept {
        if (pivot_fails(d, floor)) return true;
        root = sqrt(d);
        return false;
    }
};

/// The traits of A = U^H U for element type T: Hermitian for the complex
/// types; the real types' own, where U^H = U^T.
template <typename T>
struct HermitianTraitsOf {
    using type = ElementTraits<T>;
};
template <>
struct HermitianTraitsOf<std::complex<float>> {
    using type = HermitianTraits<float, double>;
};
template <>
struct HermitianTraitsOf<std::complex<double>> {
    using type = HermitianTraits<double, double>;
};

template <typename T>
using RealOf = typename ElementTraits<T>::Real;

}  // namespace bandsolve
