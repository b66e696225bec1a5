#include "playout.hpp"

#include <cmath>

#include "rng.hpp"

namespace zelmor_self_play {

namespace {

// A legal tile drawn uniformly; the game is not over.
uint32_t random_legal_tile(const Game& game, Rng& rng) {
    const zelmor::CellSet& legal = game.legal_set();
    uint32_t skip = rng.below(legal.size()), drawn = 0;
    legal.for_each([&](uint32_t tile) {
        if (skip-- == 0) drawn = tile;
    });
    return drawn;
}

}  // namespace

bool RandomPlayout::evaluate(std::span<const Game* const> positions, std::span<NetworkOutput> outputs) {
    Rng& rng = thread_rng();
    for (size_t i = 0; i < positions.size(); ++i) {
        const Game& position = *positions[i];
        scratch_.assign_position(position);
        while (!scratch_.is_terminal()) scratch_.apply(random_legal_tile(scratch_, rng));
        const auto payoff = scratch_.get_payoff();
        NetworkOutput& output = outputs[i];
        output.policy_logits.assign(position.board().cell_count(), 0.0f);
        // softmax(log p) = p, since the payoff's shares sum to 1; a share of 0 becomes -inf and then 0 again.
        output.value_logits.resize(4);
        for (uint32_t k = 0; k < 4; ++k) output.value_logits[k] = std::log(payoff[(position.current_player() + k) % 4]);
    }
    return true;
}

}  // namespace zelmor_self_play
