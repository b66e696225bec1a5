#pragma once
// A network stand-in that needs no training: a uniform prior over the legal tiles and, as the value, the
// payoff of one game played on to its end by random players. The classic baseline for a tree search,
// and the yardstick that shows what the search adds on its own.
#include "search.hpp"

namespace zelmor_self_play {

class RandomPlayout final : public Evaluator {
public:
    bool evaluate(std::span<const Game* const> positions, std::span<NetworkOutput> outputs) override;

private:
    Game scratch_{zelmor::kMinDim};
};

}  // namespace zelmor_self_play
