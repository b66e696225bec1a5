#pragma once
// A simple hand-written player, the baseline every trained network should beat: lay the largest piece that
// still fits, as near the centre as possible. Big pieces first keeps the squares left in hand low; the
// centre is where the other players' corners must be contested.
#include <cstdint>
#include <vector>

#include "game.hpp"

namespace zelmor {

// The heuristic's equally good tiles, ascending: among the legal tiles that some placement of the largest
// piece still placeable this turn covers, those nearest the board's centre (squared Euclidean distance).
// The player takes one of them at random. Empty exactly when the game is over.
std::vector<uint32_t> heuristic_tiles(const Game& game);

}  // namespace zelmor
