#include "heuristic.hpp"

#include <algorithm>
#include <limits>

namespace zelmor {

std::vector<uint32_t> heuristic_tiles(const Game& game) {
    const std::vector<Move>& moves = game.tile_moves().moves();
    uint8_t largest = 0;
    for (const Move& move : moves) largest = std::max(largest, move.size);
    CellSet reachable;
    for (const Move& move : moves)
        if (move.size == largest)
            for (uint16_t tile : move.tiles) reachable.insert(tile);
    reachable &= game.legal_set();

    // Distances in doubled coordinates keep the centre of an even board on the integer grid.
    const int32_t dim = static_cast<int32_t>(game.dim()), centre = dim - 1;
    uint32_t nearest = std::numeric_limits<uint32_t>::max();
    std::vector<uint32_t> best;
    reachable.for_each([&](uint32_t tile) {
        const int32_t dr = 2 * (static_cast<int32_t>(tile) / dim) - centre;
        const int32_t dc = 2 * (static_cast<int32_t>(tile) % dim) - centre;
        const uint32_t distance = static_cast<uint32_t>(dr * dr + dc * dc);
        if (distance < nearest) {
            nearest = distance;
            best.clear();
        }
        if (distance == nearest) best.push_back(tile);
    });
    return best;
}

}  // namespace zelmor
