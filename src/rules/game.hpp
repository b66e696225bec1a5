#pragma once
// Move generation and the tile-by-tile turn flow of a four-player game. A piece is laid by a run of
// actions of one player, one cell each; the turn's move map narrows with every cell taken until no legal
// placement extends the cells taken so far, and then the turn passes to the next player who can move.
// Games are plain values: the search copies one per simulation, so a copy is flat and rebuilds nothing.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board.hpp"

namespace zelmor {

// One legal placement: the piece's position in its owner's remaining list when the map was built, the
// orientation, and the board cell under the orientation's bounding-box top-left; `tiles` are the `size`
// cells it covers, ascending, padded to kMaxPieceCells entries by repeating the last so that tests over
// them need no count.
struct Move {
    uint8_t piece_index;
    uint8_t variant_index;
    uint16_t origin;
    std::array<uint16_t, kMaxPieceCells> tiles;
    uint8_t size;

    bool covers(uint32_t tile) const {
        bool found = false;
        for (uint16_t t : tiles) found |= t == tile;
        return found;
    }
    bool operator==(const Move& o) const {
        return piece_index == o.piece_index && variant_index == o.variant_index && origin == o.origin;
    }
};

// The map from tile to the moves covering it, stored flat: the distinct moves still possible this turn
// (each covering every tile taken so far) and the map's keys. The set of a key t is the moves covering t.
class TileMoves {
public:
    bool empty() const { return tiles_.empty(); }
    bool contains(uint32_t tile) const { return tile < kMaxCells && tiles_.contains(tile); }
    const CellSet& tiles() const { return tiles_; }
    const std::vector<Move>& moves() const { return moves_; }

    void clear() {  // keeps the moves' storage for the next turn
        moves_.clear();
        tiles_.clear();
    }
    // Takes `tile` (a key): keeps the moves covering it and the keys still covered by one of them.
    void narrow(uint32_t tile);

private:
    friend void get_tile_moves(const Board& board, uint32_t player, TileMoves& map);

    std::vector<Move> moves_;
    CellSet tiles_;
};

// Every legal placement of the player's remaining pieces, indexed by the tiles it covers.
TileMoves get_tile_moves(const Board& board, uint32_t player);
// The same, refilling `map` in place so that its storage is reused from turn to turn.
void get_tile_moves(const Board& board, uint32_t player, TileMoves& map);

struct Action {
    uint32_t player;
    uint32_t tile;
    bool operator==(const Action&) const = default;
};

class Game {
public:
    explicit Game(uint32_t dim);  // a new game: player 0 to act, its moves listed

    // Covers `tile` for the player to act and records it, then looks it up: a tile no legal move covers
    // is rejected with "Invalid move - Player P, Tile T" (the board and history keep it, the map does
    // not change). With `piece` the turn ends after this tile and that piece is spent, unchecked.
    std::optional<std::string> apply(uint32_t tile, std::optional<uint32_t> piece = std::nullopt);

    std::vector<uint32_t> get_legal_tiles() const;  // ascending; empty exactly when terminal
    const CellSet& legal_set() const { return tile_moves_.tiles(); }
    std::array<float, 4> get_payoff() const;  // 1 / winners for each top scorer, by absolute player
    bool is_terminal() const { return finished_ == std::array<bool, 4>{true, true, true, true}; }

    // The network input seen from the player to act: planes 0..3 as Board::write_rep, plane 4 the legal
    // tiles; 5 * dim * dim bytes, [plane][row][col] or [row][col][plane] when channels_last.
    void get_game_state(bool channels_last, uint8_t* out) const;

    // Makes this game equal to `other` except for the history, which is cleared: what a search
    // simulation needs, without copying hundreds of actions or allocating once buffers have grown.
    void assign_position(const Game& other);

    // Throws FatalError naming the first broken invariant; randomized tests call it after every action.
    void check_consistency() const;

    uint32_t dim() const { return board_.dim(); }
    uint32_t current_player() const { return current_player_; }
    const Board& board() const { return board_; }
    const TileMoves& tile_moves() const { return tile_moves_; }
    const std::array<uint32_t, 4>& last_sizes() const { return last_sizes_; }
    const std::array<bool, 4>& finished() const { return finished_; }
    const std::vector<Action>& history() const { return history_; }
    // Tiles taken so far in the piece being laid, in the order taken.
    std::vector<uint32_t> turn_tiles() const { return {turn_tiles_.begin(), turn_tiles_.begin() + turn_tile_count_}; }

private:
    // Passes the turn to the next player who can move, marking the stuck ones finished, until the game ends.
    void advance_player();

    Board board_;
    TileMoves tile_moves_;
    std::array<uint32_t, 4> last_sizes_{};
    std::array<bool, 4> finished_{};
    uint32_t current_player_ = 0;
    std::array<uint16_t, kMaxPieceCells> turn_tiles_{};
    uint32_t turn_tile_count_ = 0;
    std::vector<Action> history_;
};

}  // namespace zelmor
