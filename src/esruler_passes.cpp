// The perturbation passes of one level of the multilevel estimator. The
// random numbers of a pass do not depend on the sets (two index draws per
// proposal, a fixed number of proposals per set), so a pass is drawn whole
// before its sets are worked, and two workers can work the two halves of
// the sets at once: the driver draws each pass and works the first half; a
// helper, when the pool has a worker to spare, draws the same passes from
// its own copy of the engine and works the second half of each, in order,
// and neither waits for the other's half of a pass: the driver counts the
// accepted proposals of the passes both have finished and stays at most a
// few passes ahead of that count. Until a helper starts the driver works
// the second halves itself, so a lone driver does everything. Each set
// gets the proposals of every pass in pass order and the engine draws what
// a sequential run draws, in its order, so the results are the same bits
// whoever works what.
#include <atomic>
#include <limits>

#include "cpu_dispatch.hpp"
#include "esruler_compat.hpp"
#include "pool.hpp"

namespace rsvelmo {

using esruler::Bound;
using esruler::MemberSet;
using pool::spin_pause;

void EsRulerCompat::draw_pass(Mt19937& engine, std::vector<Proposal>& out) const {
    const UniformIndex member_index(pathway_size_ - 1), gene_index(scorer_.genes() - 1);
    out.resize(samples_.size() * proposals_per_set_);
    for (Proposal& proposal : out) {
        proposal.rank = static_cast<std::uint32_t>(member_index.draw(engine));
        proposal.gene = static_cast<std::uint32_t>(gene_index.draw(engine));
    }
}

std::int64_t EsRulerCompat::perturb_sets(std::size_t begin, std::size_t end, const Bound& bound,
                                         std::span<const Proposal> pass) {
    std::int64_t accepted = 0;
    for (std::size_t s = begin; s < end; ++s) {
        accepted += perturbate(samples_[s], bound, pass.subspan(s * proposals_per_set_, proposals_per_set_));
    }
    return accepted;
}

std::int64_t EsRulerCompat::perturb_level(Mt19937& engine, const Bound& bound, std::int64_t target,
                                          const Progress* progress) {
    constexpr std::int64_t kOpen = std::numeric_limits<std::int64_t>::max();
    // How many passes may be worked before their accepted proposals are counted.
    constexpr std::int64_t kAhead = 8;
    const std::size_t n_sets = samples_.size();
    const std::size_t half = n_sets / 2;   // the driver's sets: [0, half); the helper's [half, n_sets)
    const Mt19937 level_start = engine;    // the helper replays the draws from here
    std::atomic<std::int64_t> allowed{2};  // passes below this may be worked
    std::atomic<std::int64_t> end{kOpen};  // passes of the level, once known
    // The second half of pass p: 2p once the half of pass p - 1 is done and
    // no one has taken it, 2p + 1 while someone works it.
    std::atomic<std::int64_t> second{0};
    std::array<std::int64_t, kAhead> accepted_first{}, accepted_second{};
    std::atomic<bool> helped{false};  // a helper has started
    std::int64_t first_part = -1;

    const auto take_second = [&](std::int64_t pass, std::span<const Proposal> proposals) {
        std::int64_t free = 2 * pass;
        if (!second.compare_exchange_strong(free, free + 1, std::memory_order_acq_rel)) return;
        accepted_second[pass % kAhead] = perturb_sets(half, n_sets, bound, proposals);
        second.store(2 * pass + 2, std::memory_order_release);
    };
    // The driver does not wait for the helper's half of a pass before it
    // works the next: it counts the passes whose halves are both done, in
    // order, and goes on as long as the passes it works are surely part of
    // the level (until the first part ends, the passes below twice those
    // counted are) and at most kAhead passes are uncounted.
    const auto drive = [&](std::size_t, std::size_t) {
        std::int64_t moves = 0, total = kOpen, counted = 0, published = allowed.load(std::memory_order_relaxed);
        // Counts the passes done of those worked; returns the passes that may be worked.
        const auto count_done = [&](std::int64_t worked) {
            while (counted < worked && second.load(std::memory_order_acquire) >= 2 * counted + 2) {
                moves += accepted_first[counted % kAhead] + accepted_second[counted % kAhead];
                ++counted;
                if (total == kOpen && moves >= target) {
                    first_part = counted;
                    total = 2 * first_part;
                    end.store(total, std::memory_order_release);
                }
            }
            const std::int64_t may = std::min(total == kOpen ? 2 * (counted + 1) : total, counted + kAhead);
            // (a store while nothing changed would only pull the helper's cache line away)
            if (may != published) allowed.store(published = may, std::memory_order_release);
            return may;
        };
        for (std::int64_t pass = 0;; ++pass) {
            while (pass < total && pass >= count_done(pass)) spin_pause();
            if (pass == total) break;
            if (total == kOpen && progress != nullptr && progress->stopped()) {
                end.store(0, std::memory_order_release);
                first_part = -1;
                return;
            }
            draw_pass(engine, passes_[0]);
            accepted_first[pass % kAhead] = perturb_sets(0, half, bound, passes_[0]);
            // Once a helper works the second halves it keeps them: sets that
            // moved between the two cores would cost more than waiting.
            if (!helped.load(std::memory_order_acquire)) take_second(pass, passes_[0]);
        }
        while (second.load(std::memory_order_acquire) < 2 * total) spin_pause();
        // Every pass is done: a helper that starts only now, or still
        // replays draws, has nothing left to do.
        end.store(0, std::memory_order_release);
    };
    // The helper replays the whole draw sequence on its own copy of the
    // engine (the draws cost a few per cent of a pass) and works the
    // second half of each pass it can take, so no proposal crosses cores.
    const auto help = [&](std::size_t, std::size_t) {
        helped.store(true, std::memory_order_release);
        Mt19937 replay = level_start;
        std::vector<Proposal>& proposals = passes_[1];
        for (std::int64_t pass = 0;; ++pass) {
            while (pass >= allowed.load(std::memory_order_acquire)) {
                if (pass >= end.load(std::memory_order_acquire)) return;
                spin_pause();
            }
            if (pass >= end.load(std::memory_order_acquire)) return;
            draw_pass(replay, proposals);
            while (second.load(std::memory_order_acquire) < 2 * pass) spin_pause();
            take_second(pass, proposals);
        }
    };
    // The driver is the first task: a worker that starts the level while no
    // other is free runs it alone, and then the helper, which finds nothing left.
    pool::run({{1, drive}, {1, help}});
    return first_part;
}

RSVELMO_CPU_CLONES std::int64_t EsRulerCompat::perturbate(MemberSet& set, const Bound& bound,
                                                          std::span<const Proposal> proposals) const {
    std::int64_t accepted = 0;
    esruler::Remembered& remembered = set.remembered;
    for (const Proposal& proposal : proposals) {
        const std::uint64_t r = proposal.rank;
        const std::uint64_t candidate = proposal.gene;
        const std::uint64_t old = set.at_rank(r);
        if (set.contains(candidate)) {
            accepted += candidate == old;
            continue;
        }
        const std::int64_t ns = set.weight;
        const std::int64_t w_old = scorer_.weight(old), w_new = scorer_.weight(candidate);
        const std::int64_t new_ns = ns - w_old + w_new;
        const std::uint64_t new_hash = set.hash ^ gene_hash_[old] ^ gene_hash_[candidate];

        // First try the member that passed last time, moved by the swap.
        bool accept = false;
        esruler::Remembered next = remembered;
        if (remembered.valid && old != remembered.position && ns != 0 && new_ns != 0) {
            const bool old_before = old < remembered.position, new_before = candidate < remembered.position;
            next.cum += (new_before ? w_new : 0) - (old_before ? w_old : 0);
            next.miss += static_cast<std::int64_t>(old_before) - static_cast<std::int64_t>(new_before);
            accept = esruler::PassTest(scorer_, new_ns, new_hash, bound).passes(next.cum, next.miss);
        }
        // The scan reads only the bitmap and its counts: the sorted list and
        // the members before each block follow once the swap is kept.
        const std::uint64_t new_at = set.place_of(candidate, old);
        set.swap_bits(old, w_old, candidate, w_new);
        if (!accept) accept = esruler::accepts_by_blocks(scorer_, set, new_ns, new_hash, bound, next);

        if (accept) {
            ++accepted;
            set.keep_swap(r, old, candidate, new_at);
            set.hash = new_hash;
            remembered = next;
        } else {
            set.swap_bits(candidate, w_new, old, w_old);
        }
    }
    return accepted;
}

}  // namespace rsvelmo
