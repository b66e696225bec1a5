#pragma once
// The square grid of a four-player game with the bookkeeping that makes the placement rules cheap: one
// byte per cell (owner and, per player, whether that player may still cover it) and, per player, the
// corner cells where the next piece may touch the player's own. A board is a plain value: copying it
// copies the cells, the corner sets and the remaining-piece lists; the catalogue is shared, read-only.
#include <array>
#include <cstdint>
#include <string>

#include "cell_set.hpp"
#include "pieces.hpp"

namespace zelmor {

// Cell byte: bits 0-3 owner (0 empty, p + 1 player p); bit 4 + p set = player p may not cover the cell.
constexpr uint8_t kOwnerMask = 0x0F;
constexpr uint8_t blocked_bit(uint32_t player) { return static_cast<uint8_t>(0x10u << player); }

class Board {
public:
    explicit Board(uint32_t dim);  // FatalError for a side outside kMinDim..kMaxDim

    uint32_t dim() const { return dim_; }
    uint32_t cell_count() const { return dim_ * dim_; }
    uint8_t cell(uint32_t tile) const { return cells_[tile]; }
    const CellSet& corners(uint32_t player) const { return corners_[checked_player(player)]; }
    // The cells player may not cover, one word per row: bit c of row r is cell r * dim + c. The same
    // facts as the cells' blocked bits, laid out so that move generation tests a whole row at once.
    const std::array<uint32_t, kMaxDim>& blocked_rows(uint32_t player) const {
        return blocked_rows_[checked_player(player)];
    }
    static uint32_t start_corner(uint32_t player, uint32_t dim);

    // The player's pieces not placed yet, in catalogue order; an index is a position in this list.
    uint32_t remaining_count(uint32_t player) const { return piece_counts_[checked_player(player)]; }
    const Piece& remaining_piece(uint32_t player, uint32_t index) const;
    const Piece& remove_piece(uint32_t player, uint32_t index);  // FatalError for an index past the end

    bool is_valid_move(uint32_t player, const PieceVariant& variant, uint32_t origin) const;
    void place_tile(uint32_t tile, uint32_t player);  // no legality test; FatalError off the board

    // Per player: cells covered minus 89, or minus 74 with every piece placed (minus 69 if the monomino
    // came last). last_sizes holds the size of each player's last completed piece, 0 for none.
    std::array<int32_t, 4> get_scores(const std::array<uint32_t, 4>& last_sizes) const;

    // Occupancy planes seen from `player` (plane k = player (player + k) mod 4) written as 0/1 bytes into
    // `out`, a [plane_count][dim][dim] block, or [dim][dim][plane_count] when channels_last. Only planes
    // 0..3 are written; plane_count leaves room for the game's extra plane.
    void write_rep(bool channels_last, uint32_t player, uint32_t plane_count, uint8_t* out) const;

    std::string render() const;  // one line of coloured squares per row, then an empty line

    static uint32_t checked_player(uint32_t player);  // FatalError outside 0..3
    const Catalogue& catalogue() const { return *catalogue_; }

private:
    const Catalogue* catalogue_;
    uint32_t dim_;
    std::array<int32_t, 4> diagonals_;  // down-right, up-left, up-right, down-left
    std::array<uint8_t, kPieceCount> piece_ids_[4];
    std::array<uint8_t, 4> piece_counts_;
    std::array<CellSet, 4> corners_;
    std::array<std::array<uint32_t, kMaxDim>, 4> blocked_rows_{};
    std::array<uint8_t, kMaxCells> cells_{};
};

}  // namespace zelmor
