// One rank's rows of a distributed block-tree solve, as the kernel's body
// sees them (the Rows of solver/block_tree/kernel.h): the rank's team runs
// the steps of the blocks whose rows the rank holds, and between sweeps the
// elected thread of the team's barrier exchanges, with the other ranks, the
// pieces of blocks that the plan (plan.h) names.
//
// The one-block steps run on RankArrays: the rank's own rows, and copies
// of the other ranks' blocks that the sweep's steps reach (ghosts).  A
// ghost is filled with NaN before the pieces arrive, so a step that read
// anything the plan did not fetch would spoil the solution and the tests
// would see it.  The lane steps run only on groups of blocks that reach no
// row beyond the rank's own.
#pragma once

#include <limits>
#include <vector>

#include "solver/block_tree/block_arrays.h"
#include "solver/block_tree/kernel.h"
#include "solver/distributed/plan.h"
#include "solver/distributed/transport.h"

namespace bandsolve::distributed {

/// The arrays one-block steps run on: the rank's rows, then the ghosts of
/// the current sweep.  A row in neither is a fault of the plan.
template <typename T>
struct RankArrays {
    using Element = T;

    Index n, hb, nrhs, bs;
    RowRun mine;
    BlockTreeWindow<T> local;
    const BlockTreeWindow<T>* ghosts = nullptr;
    int ghost_count = 0;

    const BlockTreeWindow<T>& at(Index r) const noexcept {
        return mine.holds(r) ? local : ghost_at(r);
    }
    // Out of line: the steps reach other blocks only near the rank's edges,
    // and inlined into every access of the kernel's bodies the search would
    // multiply their code.
    [[gnu::noinline]] const BlockTreeWindow<T>& ghost_at(Index r) const noexcept {
        for (int i = 0; i < ghost_count; ++i)
            if (r > ghosts[i].row0 && r <= ghosts[i].row0 + bs) return ghosts[i];
        __builtin_trap();
    }
    T& A(Index r, Index c) const noexcept { return at(r).A(r, c); }
    T& B(Index j, Index k) const noexcept { return at(j).B(j, k); }
    T& P(Index row, Index j) const noexcept { return at(j).P(row, j); }
    T& K(Index z, Index row) const noexcept { return at(z).K(z, row); }
};

template <typename T>
class DistributedRows {
  public:
    /// The rank's rows layout.rows_of(transport.rank()), in local arrays: a
    /// their band rows, b their right-hand side entries (nrhs columns of
    /// rows() entries), work their corner slots (rows() * hb) followed by
    /// their panel columns (hb panel rows of rows() entries).  Works out the
    /// plan and allocates everything the solve needs; throws std::bad_alloc.
    DistributedRows(Transport& transport, const Layout& layout, T* a, T* b, T* work)
        : transport_(transport), layout_(layout), plans_(plan_rank(layout, transport.rank())) {
        const RowRun mine = layout.rows_of(transport.rank());
        const Index rows = mine.rows(), hb = layout.hb;
        window_ = {a,    layout.n, hb, b, layout.nrhs, work, work + rows * hb, mine.first - 1,
                   rows, rows};
        arrays_ = {layout.n, hb, layout.nrhs, layout.bs, mine, window_};

        std::size_t most_ghosts = 0;
        Index most_send = 0, most_recv = 0;
        for (const SweepPlan& p : plans_) {
            most_ghosts = std::max(most_ghosts, p.ghosts.size());
            most_send = std::max({most_send, total(p.serve), total(p.give_back)});
            most_recv = std::max({most_recv, total(p.fetch), total(p.take_back)});
        }
        ghost_elements_ = layout.bs * (3 * hb + 1 + layout.nrhs);
        ghost_store_.resize(most_ghosts * ghost_elements_);
        ghosts_.resize(most_ghosts);
        send_.resize(most_send);
        recv_.resize(most_recv);
        const int ranks = transport.ranks();
        sends_.reserve(ranks);
        recvs_.reserve(ranks);
        arrays_.ghosts = ghosts_.data();
    }

    const BlockTreeWindow<T>& window() const noexcept { return window_; }
    const RankArrays<T>& arrays() const noexcept { return arrays_; }
    Index last_row() const noexcept { return arrays_.mine.last; }

    bool group_local(Index v, Index count) const noexcept {
        const RowSpan s =
            group_span(plans_[current_].sweep, v, count, layout_.n, layout_.hb, layout_.bs);
        return arrays_.mine.holds(s.lo) && arrays_.mine.holds(s.hi);
    }

    /// Whether a pivot failed on any rank in the sweep just ended; raises
    /// this rank's flag when it failed elsewhere only.
    bool failed(ErrorFlags& flags, int phase) noexcept {
        const bool here = error_flag_set(flags, phase);
        const bool anywhere = transport_.any(here);
        if (anywhere && !here) raise_error_flag(flags, phase);
        return anywhere;
    }

    /// Ends the current sweep (its written pieces go back to their holders)
    /// and starts `next`: fetches what its steps read and sets the sweep's
    /// counter to the first of its blocks in this rank's rows.
    void begin(const Sweep& next, Index& counter) noexcept {
        if (current_ >= 0) {
            const SweepPlan& done = plans_[current_];
            round(done.give_back, done.take_back);
        }
        ++current_;
        const SweepPlan& plan = plans_[current_];
        // The kernel and the plan enumerate the sweeps alike; anything else
        // would mean messages that no rank expects.
        if (!(plan.sweep == next)) __builtin_trap();
        arrays_.ghost_count = 0;
        if (next.kind == SweepKind::done) return;
        set_up_ghosts(plan.ghosts);
        round(plan.serve, plan.fetch);
        Index v = next.first_row;
        const Index from = arrays_.mine.first;
        if (from > v) v += (from - v + next.stride - 1) / next.stride * next.stride;
        counter = v;
    }

  private:
    Index total(const std::vector<Transfer>& list) const noexcept {
        Index sum = 0;
        for (const Transfer& t : list) sum += piece_elements(t.piece, layout_.hb, layout_.nrhs);
        return sum;
    }

    // Ghost i holds the block starting at row g: its band rows, right-hand
    // side entries, panel columns and corner slots, filled with NaN.
    void set_up_ghosts(const std::vector<Index>& firsts) noexcept {
        using R = RealOf<T>;
        const Index bs = layout_.bs, hb = layout_.hb;
        R* const reals = reinterpret_cast<R*>(ghost_store_.data());
        const std::size_t count = firsts.size() * ghost_elements_ * sizeof(T) / sizeof(R);
        std::fill(reals, reals + count, std::numeric_limits<R>::quiet_NaN());
        for (std::size_t i = 0; i < firsts.size(); ++i) {
            T* const a = ghost_store_.data() + i * ghost_elements_;
            T* const b = a + bs * (hb + 1);
            T* const corner = b + bs * layout_.nrhs;
            T* const panel = corner + bs * hb;
            ghosts_[i] = {a, layout_.n, hb, b, layout_.nrhs, corner, panel, firsts[i] - 1, bs, bs};
        }
        arrays_.ghost_count = static_cast<int>(firsts.size());
    }

    // Calls copy(first element, count) for the runs of consecutive elements
    // that piece p occupies in window w, in the order a message holds them.
    template <typename Copy>
    void runs(const Piece& p, Copy&& copy) const noexcept {
        const BlockTreeWindow<T>& w = arrays_.at(p.first);
        const Index rows = p.last - p.first + 1, hb = layout_.hb;
        switch (p.part) {
            case Part::band_rows:
                copy(&w.A(p.first, p.first), rows * (hb + 1));
                break;
            case Part::rhs_rows:
                for (Index k = 1; k <= layout_.nrhs; ++k) copy(&w.B(p.first, k), rows);
                break;
            case Part::panel_columns:
                for (Index row = 1; row <= hb; ++row) copy(&w.P(row, p.first), rows);
                break;
            case Part::corner_slots:
                copy(&w.K(p.first, 1), rows * hb);
                break;
        }
    }

    // One round of messages: the pieces of `out` are copied from where they
    // lie into one message per peer, those of `in` copied from one message
    // per peer to where they lie.
    void round(const std::vector<Transfer>& out, const std::vector<Transfer>& in) noexcept {
        if (out.empty() && in.empty()) return;
        sends_.clear();
        recvs_.clear();
        T* cursor = send_.data();
        for (const Transfer& t : out) {
            if (sends_.empty() || sends_.back().peer != t.peer)
                sends_.push_back({t.peer, cursor, 0});
            runs(t.piece, [&](const T* from, Index count) {
                cursor = std::copy(from, from + count, cursor);
                sends_.back().bytes += static_cast<std::size_t>(count) * sizeof(T);
            });
        }
        T* slot = recv_.data();
        for (const Transfer& t : in) {
            if (recvs_.empty() || recvs_.back().peer != t.peer) recvs_.push_back({t.peer, slot, 0});
            const Index count = piece_elements(t.piece, layout_.hb, layout_.nrhs);
            slot += count;
            recvs_.back().bytes += static_cast<std::size_t>(count) * sizeof(T);
        }
        // Pieces can be empty (no right-hand sides); both ends size a message
        // from the same plan, so both drop an empty one.
        std::erase_if(sends_, [](const Message& m) { return m.bytes == 0; });
        std::erase_if(recvs_, [](const Message& m) { return m.bytes == 0; });
        transport_.exchange(sends_.data(), static_cast<int>(sends_.size()), recvs_.data(),
                            static_cast<int>(recvs_.size()));
        const T* from = recv_.data();
        for (const Transfer& t : in)
            runs(t.piece, [&](T* to, Index count) {
                std::copy(from, from + count, to);
                from += count;
            });
    }

    Transport& transport_;
    Layout layout_;
    std::vector<SweepPlan> plans_;
    int current_ = -1;
    BlockTreeWindow<T> window_{};
    RankArrays<T> arrays_{};
    Index ghost_elements_ = 0;
    std::vector<T> ghost_store_;
    std::vector<BlockTreeWindow<T>> ghosts_;
    std::vector<T> send_, recv_;
    std::vector<Message> sends_, recvs_;
};

}  // namespace bandsolve::distributed
