// The extension module bandsolve._core: the library's C entries on NumPy
// arrays.  The Python layer (bandsolve/_linalg.py) validates and converts
// the arguments as SciPy does and hands over Fortran-ordered arrays of one
// of the four element types; this layer checks them again (so that a call
// from elsewhere cannot make an entry read or write past an array) and runs
// the entry with the GIL released.
#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <complex>
#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "bandsolve.h"
#include "bandsolve.hpp"

namespace py = pybind11;

namespace {

/// The sizes of a two-dimensional, Fortran-ordered, aligned array of
/// element type T, and its data.  Refuses (ValueError) anything else, and a
/// read-only array that the entry would write.
template <typename T>
struct Matrix {
    T* data;
    int rows;
    int cols;
};

template <typename T>
Matrix<T> matrix(py::array& a, const char* name, bool written) {
    if (!py::isinstance<py::array_t<T>>(a) || a.ndim() != 2)
        throw py::value_error(std::string(name) + ": expected a two-dimensional array of " +
                              py::str(py::dtype::of<T>()).cast<std::string>());
    const int f = py::detail::npy_api::NPY_ARRAY_F_CONTIGUOUS_;
    const int aligned = py::detail::npy_api::NPY_ARRAY_ALIGNED_;
    if ((a.flags() & f) == 0 || (a.flags() & aligned) == 0)
        throw py::value_error(std::string(name) +
                              ": the array must be aligned and Fortran-ordered");
    if (written && !a.writeable())
        throw py::value_error(std::string(name) + ": the array is read-only");
    if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX)
        throw py::value_error(std::string(name) + ": dimension above the library's limit " +
                              std::to_string(INT_MAX));
    T* data = written ? static_cast<T*>(a.mutable_data())
                      : const_cast<T*>(static_cast<const T*>(a.data()));
    return {data, static_cast<int>(a.shape(0)), static_cast<int>(a.shape(1))};
}

/// Leading dimension of a Fortran-ordered matrix: its row count, at least 1.
template <typename T>
int leading(const Matrix<T>& m) {
    return m.rows > 0 ? m.rows : 1;
}

template <typename T>
void same_order(const Matrix<T>& ab, const Matrix<T>& b) {
    if (b.rows != ab.cols)
        throw py::value_error("shapes of the band array and the right-hand sides do not agree");
}

char uplo_of(bool lower) { return lower ? 'L' : 'U'; }

/// LAPACK's INFO of ?pbsv on ab (kd + 1 by n) and b (n by nrhs), both
/// overwritten.
template <typename T>
int pbsv(py::array& ab_arr, py::array& b_arr, bool lower) {
    const Matrix<T> ab = matrix<T>(ab_arr, "ab", true), b = matrix<T>(b_arr, "b", true);
    same_order(ab, b);
    const int kd = ab.rows - 1, ldab = leading(ab), ldb = leading(b);
    int info;
    {
        py::gil_scoped_release unlocked;
        info =
            bandsolve::band_pbsv(uplo_of(lower), ab.cols, kd, b.cols, ab.data, ldab, b.data, ldb);
    }
    if (info == BANDSOLVE_INFO_NO_RESOURCES) throw std::bad_alloc();
    return info;
}

/// LAPACK's INFO of ?pbtrf on ab (kd + 1 by n), overwritten by the factor.
template <typename T>
int pbtrf(py::array& ab_arr, bool lower) {
    const Matrix<T> ab = matrix<T>(ab_arr, "ab", true);
    const int kd = ab.rows - 1, ldab = leading(ab);
    py::gil_scoped_release unlocked;
    return bandsolve::band_pbtrf(uplo_of(lower), ab.cols, kd, ab.data, ldab);
}

/// LAPACK's INFO of ?pbtrs with the factor cb (kd + 1 by n, only read) on b
/// (n by nrhs), overwritten.
template <typename T>
int pbtrs(py::array& cb_arr, py::array& b_arr, bool lower) {
    const Matrix<T> cb = matrix<T>(cb_arr, "cb", false), b = matrix<T>(b_arr, "b", true);
    same_order(cb, b);
    const int kd = cb.rows - 1, ldab = leading(cb), ldb = leading(b);
    py::gil_scoped_release unlocked;
    return bandsolve::band_pbtrs<T>(uplo_of(lower), cb.cols, kd, b.cols, cb.data, ldab, b.data,
                                    ldb);
}

/// INFO of the block-tree solve on band (hb + 1 by n: our band storage, which
/// is LAPACK's lower layout with LDAB = hb + 1) and b (n by nrhs, columns n
/// apart); both overwritten.  The work area is the call's own.
template <typename T>
int block_tree_solve(py::array& band_arr, py::array& b_arr) {
    const Matrix<T> band = matrix<T>(band_arr, "ab", true), b = matrix<T>(b_arr, "b", true);
    same_order(band, b);
    if (band.rows < 1) throw py::value_error("ab: at least one row (the diagonal) is needed");
    const int n = band.cols, hb = band.rows - 1, nrhs = b.cols;
    if (n == 0) return 0;
    const std::size_t work_elements = bandsolve::work_size(n, hb);
    std::unique_ptr<T[]> work;
    if (work_elements > 0) {
        work.reset(new (std::nothrow) T[work_elements]);
        if (!work) throw std::bad_alloc();
    }
    py::gil_scoped_release unlocked;
    return bandsolve::band_solve(band.data, n, hb, b.data, nrhs, work.get());
}

/// Runs F<T> for the element type of the array `a`.
template <template <typename> class F, typename... Args>
int for_element_type(py::array& a, Args&&... args) {
    if (py::isinstance<py::array_t<float>>(a)) return F<float>::run(a, args...);
    if (py::isinstance<py::array_t<double>>(a)) return F<double>::run(a, args...);
    if (py::isinstance<py::array_t<std::complex<float>>>(a))
        return F<std::complex<float>>::run(a, args...);
    if (py::isinstance<py::array_t<std::complex<double>>>(a))
        return F<std::complex<double>>::run(a, args...);
    throw py::type_error("expected an array of float32, float64, complex64 or complex128");
}

template <typename T>
struct Pbsv {
    static int run(py::array& ab, py::array& b, bool lower) { return pbsv<T>(ab, b, lower); }
};
template <typename T>
struct Pbtrf {
    static int run(py::array& ab, bool lower) { return pbtrf<T>(ab, lower); }
};
template <typename T>
struct Pbtrs {
    static int run(py::array& cb, py::array& b, bool lower) { return pbtrs<T>(cb, b, lower); }
};
template <typename T>
struct BlockTree {
    static int run(py::array& band, py::array& b) { return block_tree_solve<T>(band, b); }
};

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() =
        "The bandsolve library's entries on Fortran-ordered NumPy arrays; use the functions "
        "of the bandsolve package, which validate and convert their arguments.";
    m.def(
        "pbsv",
        [](py::array ab, py::array b, bool lower) { return for_element_type<Pbsv>(ab, b, lower); },
        py::arg("ab"), py::arg("b"), py::arg("lower"),
        "band_pbsv_? on ab (kd+1, n) and b (n, nrhs), both overwritten; returns INFO.");
    m.def(
        "pbtrf", [](py::array ab, bool lower) { return for_element_type<Pbtrf>(ab, lower); },
        py::arg("ab"), py::arg("lower"),
        "band_pbtrf_? on ab (kd+1, n), overwritten by the factor; returns INFO.");
    m.def(
        "pbtrs",
        [](py::array cb, py::array b, bool lower) { return for_element_type<Pbtrs>(cb, b, lower); },
        py::arg("cb"), py::arg("b"), py::arg("lower"),
        "band_pbtrs_? with the factor cb (kd+1, n) on b (n, nrhs), overwritten; returns INFO.");
    m.def(
        "block_tree_solve",
        [](py::array band, py::array b) { return for_element_type<BlockTree>(band, b); },
        py::arg("band"), py::arg("b"),
        "band_solve_? on our band storage (hb+1, n) and b (n, nrhs), both overwritten; returns "
        "INFO.");
    m.def(
        "set_team_size", [](int p) { set_team_size(&p); }, py::arg("p"));
    m.def("get_team_size", [] {
        int p = 0;
        get_team_size(&p);
        return p;
    });
    m.def(
        "set_block_parameter",
        [](int p1) {
            int status = 0;
            set_block_parameter(&p1, &status);
            return status;
        },
        py::arg("p1"));
    m.def("get_block_parameter", [] {
        int p1 = 0;
        get_block_parameter(&p1);
        return p1;
    });
    m.def("count_processors", [] {
        int p = 0;
        count_processors(&p);
        return p;
    });
}
