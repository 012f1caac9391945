// The distributed solve's transport over an MPI communicator: the only
// place that calls MPI.
#pragma once

#include <mpi.h>

#include <vector>

#include "solver/distributed/transport.h"

namespace bandsolve::mpi {

class MpiTransport : public distributed::Transport {
  public:
    /// Talks over a duplicate of `comm` (collective over comm), so that the
    /// solve's messages never meet the caller's; errors on it end the job
    /// rather than leave a rank waiting.
    explicit MpiTransport(MPI_Comm comm) noexcept;
    ~MpiTransport() override;
    MpiTransport(const MpiTransport&) = delete;
    MpiTransport& operator=(const MpiTransport&) = delete;

    int rank() const noexcept override { return rank_; }
    int ranks() const noexcept override { return ranks_; }
    void exchange(const distributed::Message* sends, int send_count,
                  const distributed::Message* recvs, int recv_count) noexcept override;
    void max(int* values, int count) noexcept override;
    bool any(bool flag) noexcept override;

    /// The most threads a rank's team may have: all when MPI lets any one
    /// thread at a time call it, else the calling thread alone.
    static int most_threads() noexcept;

  private:
    MPI_Comm comm_ = MPI_COMM_NULL;
    int rank_ = 0, ranks_ = 1;
    std::vector<MPI_Request> requests_;
};

/// Whether MPI can be used on `comm` at all: initialised and not finalised,
/// and comm an intra-communicator.
bool usable(MPI_Comm comm) noexcept;

}  // namespace bandsolve::mpi
