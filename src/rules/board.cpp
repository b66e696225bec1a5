#include "board.hpp"

#include "fatal_error.hpp"

namespace zelmor {

uint32_t Board::checked_player(uint32_t player) {
    if (player > 3) throw FatalError("player " + std::to_string(player) + " is not in 0..3");
    return player;
}

uint32_t Board::start_corner(uint32_t player, uint32_t dim) {
    switch (player) {
        case 0: return 0;
        case 1: return dim - 1;
        case 2: return dim * dim - 1;
        case 3: return dim * (dim - 1);
        default: throw FatalError("Invalid player number");
    }
}

Board::Board(uint32_t dim) : catalogue_(&Catalogue::for_dim(dim)), dim_(dim) {
    const int32_t d = static_cast<int32_t>(dim);
    diagonals_ = {d + 1, -(d + 1), 1 - d, d - 1};
    for (uint32_t p = 0; p < 4; ++p) {
        for (uint32_t id = 0; id < kPieceCount; ++id) piece_ids_[p][id] = static_cast<uint8_t>(id);
        piece_counts_[p] = kPieceCount;
        corners_[p].insert(start_corner(p, dim));
    }
}

const Piece& Board::remaining_piece(uint32_t player, uint32_t index) const {
    if (index >= remaining_count(player))
        throw FatalError("piece index " + std::to_string(index) + " is past the end of player " +
                         std::to_string(player) + "'s " + std::to_string(remaining_count(player)) +
                         " remaining pieces");
    return catalogue_->pieces[piece_ids_[player][index]];
}

const Piece& Board::remove_piece(uint32_t player, uint32_t index) {
    const Piece& piece = remaining_piece(player, index);
    auto& ids = piece_ids_[player];
    for (uint32_t i = index + 1; i < piece_counts_[player]; ++i) ids[i - 1] = ids[i];
    --piece_counts_[player];
    return piece;
}

bool Board::is_valid_move(uint32_t player, const PieceVariant& variant, uint32_t origin) const {
    const uint8_t bit = blocked_bit(checked_player(player));
    const uint64_t mask_len = variant.mask.size();
    if (uint64_t{origin} + mask_len > cell_count()) return false;
    if (origin % dim_ + variant.width > dim_) return false;
    bool conflict = false;
    for (uint32_t i = 0; i < mask_len && !conflict; ++i) conflict = variant.mask[i] && (cells_[origin + i] & bit);
    if (variant.offsets.empty() || corners_[player].empty()) return false;
    for (uint32_t k : variant.offsets)
        if (corners_[player].contains(origin + k)) return !conflict;
    return false;
}

void Board::place_tile(uint32_t tile, uint32_t player) {
    checked_player(player);
    if (tile >= cell_count())
        throw FatalError("tile " + std::to_string(tile) + " is off the " + std::to_string(dim_) + " x " +
                         std::to_string(dim_) + " board");
    const uint8_t bit = blocked_bit(player);
    const uint32_t col = tile % dim_;
    cells_[tile] = static_cast<uint8_t>((player + 1) | 0xF0);
    for (auto& corners : corners_) corners.erase(tile);
    for (auto& rows : blocked_rows_) rows[tile / dim_] |= 1u << col;

    auto block = [&](uint32_t neighbour) {
        cells_[neighbour] |= bit;
        blocked_rows_[player][neighbour / dim_] |= 1u << (neighbour % dim_);
        corners_[player].erase(neighbour);
    };
    if (col != 0) block(tile - 1);
    if (col < dim_ - 1) block(tile + 1);
    if (tile >= dim_) block(tile - dim_);
    if (tile < dim_ * (dim_ - 1)) block(tile + dim_);

    for (int32_t step : diagonals_) {
        const int64_t c = int64_t{tile} + step;
        if (c < 0 || c >= int64_t{cell_count()}) continue;
        const uint32_t cell = static_cast<uint32_t>(c);
        if (cells_[cell] & bit) continue;
        const uint32_t ccol = cell % dim_;
        if ((col == 0 && ccol == dim_ - 1) || (col == dim_ - 1 && ccol == 0)) continue;
        corners_[player].insert(cell);
    }
}

std::array<int32_t, 4> Board::get_scores(const std::array<uint32_t, 4>& last_sizes) const {
    std::array<int32_t, 4> placed{};
    for (uint32_t t = 0; t < cell_count(); ++t) {
        const uint32_t owner = cells_[t] & kOwnerMask;
        if (owner >= 1 && owner <= 4) ++placed[owner - 1];
    }
    std::array<int32_t, 4> scores{};
    for (uint32_t p = 0; p < 4; ++p) {
        int32_t in_hand = static_cast<int32_t>(kCatalogueCells);
        if (piece_counts_[p] == 0) in_hand = last_sizes[p] == 1 ? 69 : 74;
        scores[p] = placed[p] - in_hand;
    }
    return scores;
}

void Board::write_rep(bool channels_last, uint32_t player, uint32_t plane_count, uint8_t* out) const {
    checked_player(player);
    const uint32_t n = cell_count();
    for (uint32_t t = 0; t < n; ++t) {
        const uint32_t owner = cells_[t] & kOwnerMask;
        const bool covered = owner >= 1 && owner <= 4;
        const uint32_t plane = covered ? (owner - 1 + 4 - player) % 4 : 0;
        for (uint32_t k = 0; k < 4; ++k) {
            const uint8_t value = covered && k == plane;
            if (channels_last)
                out[t * plane_count + k] = value;
            else
                out[k * n + t] = value;
        }
    }
}

std::string Board::render() const {
    static constexpr const char* kSquares[5] = {"⬜", "🟥", "🟦", "🟨", "🟩"};
    std::string text;
    text.reserve(size_t{cell_count()} * 4 + dim_ + 1);
    for (uint32_t r = 0; r < dim_; ++r) {
        for (uint32_t c = 0; c < dim_; ++c) {
            const uint32_t owner = cells_[r * dim_ + c] & kOwnerMask;
            text += kSquares[owner <= 4 ? owner : 0];
        }
        text += '\n';
    }
    text += '\n';
    return text;
}

}  // namespace zelmor
