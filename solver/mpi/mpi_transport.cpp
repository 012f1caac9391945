#include "solver/mpi/mpi_transport.h"

#include <algorithm>
#include <climits>
#include <cstddef>

namespace bandsolve::mpi {

namespace {

// A message travels in pieces of at most this many bytes, since MPI counts
// in int.
constexpr std::size_t CHUNK_BYTES = std::size_t{1} << 30;

std::size_t chunks(std::size_t bytes) { return (bytes + CHUNK_BYTES - 1) / CHUNK_BYTES; }

}  // namespace

bool usable(MPI_Comm comm) noexcept {
    int up = 0, down = 0, inter = 0;
    MPI_Initialized(&up);
    if (up) MPI_Finalized(&down);
    if (!up || down || comm == MPI_COMM_NULL) return false;
    MPI_Comm_test_inter(comm, &inter);
    return !inter;
}

MpiTransport::MpiTransport(MPI_Comm comm) noexcept {
    MPI_Comm_dup(comm, &comm_);
    MPI_Comm_set_errhandler(comm_, MPI_ERRORS_ARE_FATAL);
    MPI_Comm_rank(comm_, &rank_);
    MPI_Comm_size(comm_, &ranks_);
}

MpiTransport::~MpiTransport() { MPI_Comm_free(&comm_); }

void MpiTransport::exchange(const distributed::Message* sends, int send_count,
                            const distributed::Message* recvs, int recv_count) noexcept {
    std::size_t needed = 0;
    for (int i = 0; i < send_count; ++i) needed += chunks(sends[i].bytes);
    for (int i = 0; i < recv_count; ++i) needed += chunks(recvs[i].bytes);
    // The requests outlive the round, so that the usual round allocates
    // nothing; a rank that cannot grow them cannot take part and ends the job.
    try {
        requests_.resize(needed);
    } catch (...) {
        MPI_Abort(comm_, 1);
    }
    std::size_t r = 0;
    // Receives first: every message then has somewhere to land.
    for (int i = 0; i < recv_count; ++i) {
        char* at = static_cast<char*>(recvs[i].data);
        for (std::size_t done = 0; done < recvs[i].bytes; done += CHUNK_BYTES) {
            const std::size_t len = std::min(CHUNK_BYTES, recvs[i].bytes - done);
            MPI_Irecv(at + done, static_cast<int>(len), MPI_BYTE, recvs[i].peer, 0, comm_,
                      &requests_[r++]);
        }
    }
    for (int i = 0; i < send_count; ++i) {
        const char* at = static_cast<const char*>(sends[i].data);
        for (std::size_t done = 0; done < sends[i].bytes; done += CHUNK_BYTES) {
            const std::size_t len = std::min(CHUNK_BYTES, sends[i].bytes - done);
            MPI_Isend(at + done, static_cast<int>(len), MPI_BYTE, sends[i].peer, 0, comm_,
                      &requests_[r++]);
        }
    }
    MPI_Waitall(static_cast<int>(r), requests_.data(), MPI_STATUSES_IGNORE);
}

void MpiTransport::max(int* values, int count) noexcept {
    MPI_Allreduce(MPI_IN_PLACE, values, count, MPI_INT, MPI_MAX, comm_);
}

bool MpiTransport::any(bool flag) noexcept {
    int v = flag ? 1 : 0;
    MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_INT, MPI_LOR, comm_);
    return v != 0;
}

int MpiTransport::most_threads() noexcept {
    int provided = MPI_THREAD_SINGLE;
    MPI_Query_thread(&provided);
    return provided >= MPI_THREAD_SERIALIZED ? INT_MAX : 1;
}

}  // namespace bandsolve::mpi
