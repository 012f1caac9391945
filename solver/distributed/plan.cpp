#include "solver/distributed/plan.h"

#include <algorithm>

namespace bandsolve::distributed {

namespace {

// The blocks of sweep `sw` whose first rows lie in [from, to].
template <typename Visit>
void sweep_blocks(const Sweep& sw, Index n, Index from, Index to, Visit&& visit) {
    if (sw.kind == SweepKind::done || sw.stride <= 0) return;
    Index v = sw.first_row;
    if (from > v) v += (from - v + sw.stride - 1) / sw.stride * sw.stride;
    for (; v <= std::min(to, n); v += sw.stride) visit(v);
}

void sort_by_peer(std::vector<Transfer>& list) {
    std::stable_sort(list.begin(), list.end(),
                     [](const Transfer& x, const Transfer& y) { return x.peer < y.peer; });
}

}  // namespace

std::vector<SweepPlan> plan_rank(const Layout& layout, int rank) {
    const Index n = layout.n, hb = layout.hb, bs = layout.bs;
    const RowRun mine = layout.rows_of(rank);
    std::vector<SweepPlan> plans;
    for (const Sweep& sw : block_tree_sweeps(n, bs)) {
        SweepPlan plan;
        plan.sweep = sw;
        if (mine.rows() > 0 && sw.kind != SweepKind::done) {
            // Steps of other ranks that may reach my rows lie within reach of
            // them; my own steps are the blocks that start in my rows.
            const Index r = reach(sw, bs, hb);
            sweep_blocks(sw, n, mine.first - r, mine.last + r, [&](Index v) {
                const int runner = layout.rank_of_row(v);
                step_pieces(sw, v, n, hb, bs, [&](const Piece& p) {
                    const int holder = layout.rank_of_row(p.first);
                    if (runner == rank && holder != rank) {
                        plan.fetch.push_back({holder, p});
                        if (p.written) plan.give_back.push_back({holder, p});
                        const Index g = layout.block_first_row(p.first);
                        if (std::find(plan.ghosts.begin(), plan.ghosts.end(), g) ==
                            plan.ghosts.end())
                            plan.ghosts.push_back(g);
                    } else if (runner != rank && holder == rank) {
                        plan.serve.push_back({runner, p});
                        if (p.written) plan.take_back.push_back({runner, p});
                    }
                });
            });
        }
        sort_by_peer(plan.fetch);
        sort_by_peer(plan.serve);
        sort_by_peer(plan.give_back);
        sort_by_peer(plan.take_back);
        plans.push_back(std::move(plan));
    }
    return plans;
}

Index elements_for(const std::vector<Transfer>& transfers, int peer,
                   const Layout& layout) noexcept {
    Index total = 0;
    for (const Transfer& t : transfers)
        if (t.peer == peer) total += piece_elements(t.piece, layout.hb, layout.nrhs);
    return total;
}

}  // namespace bandsolve::distributed
