// The public C entries of the MPI layer: each checks that MPI can be used on
// the communicator and runs the library's distributed solve over it.
#include "bandsolve_mpi.h"

#include "solver/distributed/distributed_entries.h"
#include "solver/mpi/mpi_transport.h"

namespace {

using bandsolve::mpi::MpiTransport;

template <typename Run>
void entry(MPI_Comm comm, int* info, Run run) noexcept {
    if (info == nullptr) return;
    if (!bandsolve::mpi::usable(comm)) {
        *info = -1;
        return;
    }
    MpiTransport transport(comm);
    *info = run(transport);
}

}  // namespace

namespace dist = bandsolve::distributed;

extern "C" {

void band_solve_mpi_rows_s(MPI_Comm comm, const int* n, const int* hb, int* first_row, int* rows,
                           int* info) {
    entry(comm, info, [&](MpiTransport& t) { return dist::rows_real(t, n, hb, first_row, rows); });
}
void band_solve_mpi_rows_d(MPI_Comm comm, const int* n, const int* hb, int* first_row, int* rows,
                           int* info) {
    entry(comm, info, [&](MpiTransport& t) { return dist::rows_real(t, n, hb, first_row, rows); });
}
void band_solve_mpi_rows_c(MPI_Comm comm, const int* n, const int* hb, int* first_row, int* rows,
                           int* info) {
    entry(comm, info,
          [&](MpiTransport& t) { return dist::rows_complex(t, n, hb, first_row, rows); });
}
void band_solve_mpi_rows_z(MPI_Comm comm, const int* n, const int* hb, int* first_row, int* rows,
                           int* info) {
    entry(comm, info,
          [&](MpiTransport& t) { return dist::rows_complex(t, n, hb, first_row, rows); });
}

void band_solve_mpi_s(MPI_Comm comm, float* a, const int* n, const int* hb, float* b,
                      const int* nrhs, float* work, int* info) {
    entry(comm, info, [&](MpiTransport& t) {
        return dist::solve_s(t, a, n, hb, b, nrhs, work, MpiTransport::most_threads());
    });
}
void band_solve_mpi_d(MPI_Comm comm, double* a, const int* n, const int* hb, double* b,
                      const int* nrhs, double* work, int* info) {
    entry(comm, info, [&](MpiTransport& t) {
        return dist::solve_d(t, a, n, hb, b, nrhs, work, MpiTransport::most_threads());
    });
}
void band_solve_mpi_c(MPI_Comm comm, bandsolve_complex_float* a, const int* n, const int* hb,
                      bandsolve_complex_float* b, const int* nrhs, bandsolve_complex_float* work,
                      int* info) {
    entry(comm, info, [&](MpiTransport& t) {
        return dist::solve_c(t, a, n, hb, b, nrhs, work, MpiTransport::most_threads());
    });
}
void band_solve_mpi_z(MPI_Comm comm, bandsolve_complex_double* a, const int* n, const int* hb,
                      bandsolve_complex_double* b, const int* nrhs, bandsolve_complex_double* work,
                      int* info) {
    entry(comm, info, [&](MpiTransport& t) {
        return dist::solve_z(t, a, n, hb, b, nrhs, work, MpiTransport::most_threads());
    });
}

}  // extern "C"
