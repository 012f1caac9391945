// What the ranks of a distributed block-tree solve send each other, sweep by
// sweep, counted from the plans every rank works out (no MPI needed):
//
//   exchange_plan [n] [hb] [ranks] [element bytes] [block parameter P1]
//
// defaults 1000000000 8 64 8 24 (n = 10^9, double, blocks of 72 rows).  For
// every sweep: the blocks it has, the ranks that hold one, and over all
// ranks the most messages and bytes one rank sends and receives around it
// (before the sweep and after it), with the totals for the whole solve.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "solver/distributed/plan.h"

namespace {

using bandsolve::Index;
using bandsolve::Sweep;
using bandsolve::SweepKind;
using namespace bandsolve::distributed;

const char* kind_name(SweepKind k) {
    switch (k) {
        case SweepKind::odd_gather:
            return "odd (level 1)";
        case SweepKind::odd:
            return "odd";
        case SweepKind::separator:
            return "separator";
        case SweepKind::backward:
            return "backward";
        case SweepKind::done:
            return "done";
    }
    return "?";
}

// Messages (one per peer) and elements of one list of transfers.
struct Traffic {
    Index messages = 0, elements = 0;
};
Traffic traffic(const std::vector<Transfer>& list, const Layout& layout) {
    Traffic t;
    int peer = -1;
    for (const Transfer& x : list) {
        if (x.peer != peer) ++t.messages;
        peer = x.peer;
        t.elements += piece_elements(x.piece, layout.hb, layout.nrhs);
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const Index n = argc > 1 ? std::atoll(argv[1]) : 1000000000;
    const Index hb = argc > 2 ? std::atoll(argv[2]) : 8;
    const int ranks = argc > 3 ? std::atoi(argv[3]) : 64;
    const Index bytes = argc > 4 ? std::atoll(argv[4]) : 8;
    const int p1 = argc > 5 ? std::atoi(argv[5]) : 24;
    const Layout layout{n, hb, 1, bandsolve::block_size_for(p1, static_cast<int>(hb)), ranks};
    std::printf(
        "n = %lld  hb = %lld  nrhs = 1  ranks = %d  %lld-byte elements  block size %lld"
        "  (%lld blocks, %lld rows per rank)\n",
        (long long)n, (long long)hb, ranks, (long long)bytes, (long long)layout.bs,
        (long long)layout.blocks(), (long long)layout.rows_of(0).rows());

    std::vector<std::vector<SweepPlan>> plans;
    for (int r = 0; r < ranks; ++r) plans.push_back(plan_rank(layout, r));
    const std::vector<Sweep> sweeps = block_tree_sweeps(n, layout.bs);

    std::printf("%5s %-14s %10s %7s %12s %12s %12s %12s\n", "sweep", "kind", "blocks", "ranks",
                "msgs out", "bytes out", "msgs in", "bytes in");
    Index total_out = 0, total_msgs = 0, most_out = 0;
    for (std::size_t i = 0; i + 1 < sweeps.size(); ++i) {
        const Sweep& sw = sweeps[i];
        const Index blocks = sw.first_row > n ? 0 : (n - sw.first_row) / sw.stride + 1;
        Index holders = 0, msgs_out = 0, bytes_out = 0, msgs_in = 0, bytes_in = 0;
        for (int r = 0; r < ranks; ++r) {
            const RowRun mine = layout.rows_of(r);
            if (mine.rows() > 0 && sw.first_row <= mine.last) {
                Index v = sw.first_row;
                if (mine.first > v) v += (mine.first - v + sw.stride - 1) / sw.stride * sw.stride;
                if (v <= mine.last) ++holders;
            }
            const SweepPlan& p = plans[r][i];
            // Before the sweep: served pieces out, fetched ones in; after it:
            // written ones back out, and in from the other side.
            const Traffic out1 = traffic(p.serve, layout), out2 = traffic(p.give_back, layout);
            const Traffic in1 = traffic(p.fetch, layout), in2 = traffic(p.take_back, layout);
            msgs_out = std::max(msgs_out, out1.messages + out2.messages);
            bytes_out = std::max(bytes_out, (out1.elements + out2.elements) * bytes);
            msgs_in = std::max(msgs_in, in1.messages + in2.messages);
            bytes_in = std::max(bytes_in, (in1.elements + in2.elements) * bytes);
            total_out += (out1.elements + out2.elements) * bytes;
            total_msgs += out1.messages + out2.messages;
        }
        most_out = std::max(most_out, bytes_out);
        std::printf("%5zu %-14s %10lld %7lld %12lld %12lld %12lld %12lld\n", i + 1,
                    kind_name(sw.kind), (long long)blocks, (long long)holders, (long long)msgs_out,
                    (long long)bytes_out, (long long)msgs_in, (long long)bytes_in);
    }
    std::printf(
        "whole solve: %zu sweeps, %lld messages, %lld bytes sent by all ranks together "
        "(%.1f per rank)\n",
        sweeps.size() - 1, (long long)total_msgs, (long long)total_out, double(total_out) / ranks);
    return 0;
}
