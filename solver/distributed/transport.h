// How the ranks of a distributed solve talk: rounds of point-to-point
// messages and a logical or over all ranks.  The MPI layer (solver/mpi)
// provides one over a communicator; the tests provide one over threads of
// one process.
#pragma once

#include <cstddef>

namespace bandsolve::distributed {

/// A message to or from another rank.
struct Message {
    int peer = 0;
    void* data = nullptr;
    std::size_t bytes = 0;
};

class Transport {
  public:
    virtual ~Transport() = default;
    virtual int rank() const noexcept = 0;
    virtual int ranks() const noexcept = 0;
    /// One round: sends every message of sends[0..send_count) and receives
    /// every message of recvs[0..recv_count) (each exactly of the size
    /// given, at most one per peer in each list), and returns when all are
    /// done.  Two ranks that exchange in a round both list the message
    /// between them; a rank with nothing to exchange need not call it.
    virtual void exchange(const Message* sends, int send_count, const Message* recvs,
                          int recv_count) noexcept = 0;
    /// values[i] := the largest of the ranks' values[i], i < count.  Every
    /// rank calls it at the same point of the solve, with the same count.
    virtual void max(int* values, int count) noexcept = 0;
    /// Whether `flag` holds on any rank.  Every rank calls it at the same
    /// point of the solve.
    virtual bool any(bool flag) noexcept = 0;
};

}  // namespace bandsolve::distributed
