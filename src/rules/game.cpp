#include "game.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "fatal_error.hpp"

namespace zelmor {

void TileMoves::narrow(uint32_t tile) {
    tiles_.erase(tile);
    CellSet still_covered;
    size_t kept = 0;
    for (const Move& move : moves_) {
        if (!move.covers(tile)) continue;
        moves_[kept++] = move;
        for (uint16_t t : move.tiles) still_covered.insert(t);
    }
    moves_.resize(kept);
    tiles_ &= still_covered;
}

TileMoves get_tile_moves(const Board& board, uint32_t player) {
    TileMoves map;
    get_tile_moves(board, player, map);
    return map;
}

namespace {

// Rows r and r + 1 of a row array as one word: row r in the low half, row r + 1 in the high half.
uint64_t row_pair(const uint32_t* rows, uint32_t r) {
    uint64_t pair;
    std::memcpy(&pair, rows + r, sizeof pair);
    return pair;
}

}  // namespace

// A placement is legal when its bounding box is on the board, none of its cells is blocked for the
// player and one of them is a corner cell. Board rows are bit words (bit c = column c), and a 64-bit word
// holds two consecutive rows, so one pass over a variant's cells tests every origin column of two origin
// rows at once: shifting the rows right by a cell's column lines that cell up with the origin column.
// Bits that a shift moves from the upper row into the lower one land right of the last origin column that
// fits, where the origin mask drops them.
void get_tile_moves(const Board& board, uint32_t player, TileMoves& map) {
    static_assert(kMaxDim <= 32, "a board row must fit one 32-bit word");
    const CellSet& corners = board.corners(player);
    const uint32_t dim = board.dim();
    map.clear();

    // One spare zero row past the board for the upper half of a pair that starts on the last row.
    std::array<uint32_t, kMaxDim + 1> corner_rows{}, blocked_rows{}, covered_rows{};
    uint32_t rows_with_corners = 0;  // bit r: row r holds a corner cell
    for (uint32_t r = 0; r < dim; ++r) {
        corner_rows[r] = corners.bits(r * dim, dim);
        blocked_rows[r] = board.blocked_rows(player)[r];
        if (corner_rows[r]) rows_with_corners |= 1u << r;
    }
    if (!rows_with_corners) return;

    const auto low_bits = [](uint32_t n) { return n >= 32 ? ~0u : (1u << n) - 1; };
    const uint32_t piece_count = board.remaining_count(player);
    for (uint32_t p = 0; p < piece_count; ++p) {
        const Piece& piece = board.remaining_piece(player, p);
        for (uint32_t k = 0; k < piece.variants.size(); ++k) {
            const PieceVariant& variant = piece.variants[k];
            if (variant.height > dim || variant.width > dim) continue;
            const auto& cells = variant.padded_cells;
            const uint64_t origin_columns = low_bits(dim - variant.width + 1);
            // Origin rows that fit and put some row of the variant on a row with a corner cell.
            uint32_t origin_rows = 0;
            for (uint32_t i = 0; i < variant.height; ++i) origin_rows |= rows_with_corners >> i;
            origin_rows &= low_bits(dim - variant.height + 1);

            while (origin_rows) {
                const uint32_t row = static_cast<uint32_t>(std::countr_zero(origin_rows));
                const uint64_t upper_fits = (uint64_t{origin_rows} >> (row + 1)) & 1u;  // row + 1 may be 32
                origin_rows &= ~(3u << row);
                uint64_t touching = 0;
                for (const CellOffset& cell : cells)
                    touching |= row_pair(corner_rows.data(), row + cell.row) >> cell.col;
                touching &= origin_columns | (origin_columns << 32) * upper_fits;
                if (!touching) continue;
                uint64_t conflicting = 0;
                for (const CellOffset& cell : cells)
                    conflicting |= row_pair(blocked_rows.data(), row + cell.row) >> cell.col;
                const uint64_t legal = touching & ~conflicting;
                if (!legal) continue;
                // Row by row: 64-bit updates of overlapping row pairs would defeat store forwarding.
                for (const CellOffset& cell : cells) {
                    covered_rows[row + cell.row] |= static_cast<uint32_t>(legal) << cell.col;
                    covered_rows[row + cell.row + 1] |= static_cast<uint32_t>(legal >> 32) << cell.col;
                }
                for (uint64_t bits = legal; bits; bits &= bits - 1) {
                    const uint32_t bit = static_cast<uint32_t>(std::countr_zero(bits));
                    const uint32_t origin = (row + bit / 32) * dim + bit % 32;
                    Move& move = map.moves_.emplace_back();
                    move.piece_index = static_cast<uint8_t>(p);
                    move.variant_index = static_cast<uint8_t>(k);
                    move.origin = static_cast<uint16_t>(origin);
                    move.size = static_cast<uint8_t>(variant.offsets.size());
                    for (uint32_t i = 0; i < kMaxPieceCells; ++i)
                        move.tiles[i] = static_cast<uint16_t>(origin + variant.offsets[std::min(i, move.size - 1u)]);
                }
            }
        }
    }
    for (uint32_t r = 0; r < dim; ++r) map.tiles_.insert_bits(r * dim, covered_rows[r]);
}

Game::Game(uint32_t dim) : board_(dim), tile_moves_(get_tile_moves(board_, 0)) {}

std::optional<std::string> Game::apply(uint32_t tile, std::optional<uint32_t> piece) {
    board_.place_tile(tile, current_player_);
    history_.push_back({current_player_, tile});
    if (!tile_moves_.contains(tile))
        return "Invalid move - Player " + std::to_string(current_player_) + ", Tile " + std::to_string(tile);

    tile_moves_.narrow(tile);
    if (turn_tile_count_ < turn_tiles_.size()) turn_tiles_[turn_tile_count_++] = static_cast<uint16_t>(tile);
    if (!piece && !tile_moves_.empty()) return std::nullopt;

    // The piece is complete. The remaining moves are the ones through the taken tile; with the map
    // empty they cover exactly this turn's tiles, which distinct orientations make a single move.
    uint32_t index;
    if (piece) {
        index = *piece;
    } else {
        if (tile_moves_.moves().empty()) return "valid_moves must be non-empty";
        index = tile_moves_.moves().front().piece_index;
    }
    last_sizes_[current_player_] = board_.remove_piece(current_player_, index).size;
    turn_tile_count_ = 0;
    advance_player();
    return std::nullopt;
}

void Game::advance_player() {
    while (!is_terminal()) {
        current_player_ = (current_player_ + 1) % 4;
        // A finished player's map is empty without looking: only the player to act covers cells, so
        // nothing has given a finished player a corner cell or unblocked one since it was found stuck.
        if (finished_[current_player_]) {
            tile_moves_.clear();
            continue;
        }
        get_tile_moves(board_, current_player_, tile_moves_);
        if (!tile_moves_.empty()) return;
        finished_[current_player_] = true;
    }
}

std::vector<uint32_t> Game::get_legal_tiles() const {
    std::vector<uint32_t> tiles;
    tile_moves_.tiles().for_each([&](uint32_t t) { tiles.push_back(t); });
    return tiles;
}

std::array<float, 4> Game::get_payoff() const {
    const auto scores = board_.get_scores(last_sizes_);
    const int32_t best = *std::max_element(scores.begin(), scores.end());
    const auto winners = static_cast<float>(std::count(scores.begin(), scores.end(), best));
    std::array<float, 4> payoff{};
    for (uint32_t p = 0; p < 4; ++p) payoff[p] = scores[p] == best ? 1.0f / winners : 0.0f;
    return payoff;
}

void Game::get_game_state(bool channels_last, uint8_t* out) const {
    const uint32_t n = board_.cell_count();
    board_.write_rep(channels_last, current_player_, 5, out);
    uint8_t* legal_plane = channels_last ? out + 4 : out + 4 * n;
    const uint32_t stride = channels_last ? 5 : 1;
    for (uint32_t t = 0; t < n; ++t) legal_plane[t * stride] = 0;
    tile_moves_.tiles().for_each([&](uint32_t t) { legal_plane[t * stride] = 1; });
}

void Game::assign_position(const Game& other) {
    board_ = other.board_;
    tile_moves_ = other.tile_moves_;
    last_sizes_ = other.last_sizes_;
    finished_ = other.finished_;
    current_player_ = other.current_player_;
    turn_tiles_ = other.turn_tiles_;
    turn_tile_count_ = other.turn_tile_count_;
    history_.clear();
}

namespace {

constexpr std::array<std::pair<int32_t, int32_t>, 4> kEdgeSteps{{{0, -1}, {0, 1}, {-1, 0}, {1, 0}}};
constexpr std::array<std::pair<int32_t, int32_t>, 4> kDiagonalSteps{{{1, 1}, {-1, -1}, {-1, 1}, {1, -1}}};

// Unsigned wrap-around turns a step off the top or left edge into a row or column past the end.
uint32_t step(uint32_t x, int32_t d) { return static_cast<uint32_t>(static_cast<int64_t>(x) + d); }

void require(bool holds, const std::string& what) {
    if (!holds) throw FatalError("inconsistent game: " + what);
}

using Triples = std::vector<std::array<uint32_t, 3>>;

Triples sorted_triples(const std::vector<Move>& moves) {
    Triples triples;
    for (const Move& m : moves) triples.push_back({m.piece_index, m.variant_index, m.origin});
    std::sort(triples.begin(), triples.end());
    return triples;
}

// The player's legal placements by the plainest enumeration: every origin that puts some cell of some
// variant on some corner cell, tested one cell byte at a time by Board::is_valid_move. Slow, but it
// shares nothing with get_tile_moves, which makes it the yardstick for it.
Triples reference_triples(const Board& board, uint32_t player) {
    Triples triples;
    for (uint32_t p = 0; p < board.remaining_count(player); ++p) {
        const Piece& piece = board.remaining_piece(player, p);
        board.corners(player).for_each([&](uint32_t corner) {
            for (uint32_t k = 0; k < piece.variants.size(); ++k) {
                for (uint32_t offset : piece.variants[k].offsets) {
                    if (corner < offset) continue;
                    if (board.is_valid_move(player, piece.variants[k], corner - offset))
                        triples.push_back({p, k, corner - offset});
                }
            }
        });
    }
    std::sort(triples.begin(), triples.end());
    triples.erase(std::unique(triples.begin(), triples.end()), triples.end());
    return triples;
}

}  // namespace

void Game::check_consistency() const {
    const uint32_t dim = board_.dim(), n = board_.cell_count();
    std::array<uint32_t, 4> covered{};

    for (uint32_t t = 0; t < n; ++t) {
        const uint8_t byte = board_.cell(t);
        const uint32_t owner = byte & kOwnerMask;
        require(owner <= 4, "cell " + std::to_string(t) + " has owner nibble " + std::to_string(owner));
        for (uint32_t p = 0; p < 4; ++p)
            require(((board_.blocked_rows(p)[t / dim] >> (t % dim)) & 1u) == ((byte & blocked_bit(p)) != 0),
                    "the blocked rows of player " + std::to_string(p) + " disagree with cell " + std::to_string(t));
        if (owner == 0) continue;
        const uint32_t p = owner - 1;
        ++covered[p];
        require((byte & 0xF0) == 0xF0, "covered cell " + std::to_string(t) + " is not blocked for everyone");
        const uint32_t row = t / dim, col = t % dim;
        for (auto [dr, dc] : kEdgeSteps) {
            const uint32_t r = step(row, dr), c = step(col, dc);
            if (r < dim && c < dim)
                require(board_.cell(r * dim + c) & blocked_bit(p), "cell " + std::to_string(r * dim + c) +
                                                                       " touches player " + std::to_string(p) +
                                                                       " along an edge but is not blocked for them");
        }
    }

    for (uint32_t p = 0; p < 4; ++p) {
        CellSet expected;
        auto consider = [&](uint32_t c) {
            if (!(board_.cell(c) & blocked_bit(p))) expected.insert(c);
        };
        consider(Board::start_corner(p, dim));
        for (uint32_t t = 0; t < n; ++t) {
            if ((board_.cell(t) & kOwnerMask) != p + 1) continue;
            const uint32_t row = t / dim, col = t % dim;
            for (auto [dr, dc] : kDiagonalSteps) {
                const uint32_t r = step(row, dr), c = step(col, dc);
                if (r < dim && c < dim) consider(r * dim + c);
            }
        }
        require(expected == board_.corners(p), "corner cells of player " + std::to_string(p) + " are wrong");

        uint32_t spent = 0;
        std::array<bool, kPieceCount> left{};
        for (uint32_t i = 0; i < board_.remaining_count(p); ++i) {
            const Piece& piece = board_.remaining_piece(p, i);
            require(i == 0 || board_.remaining_piece(p, i - 1).piece_id < piece.piece_id,
                    "remaining pieces of player " + std::to_string(p) + " are out of catalogue order");
            left[piece.piece_id] = true;
        }
        bool last_size_seen = last_sizes_[p] == 0 && board_.remaining_count(p) == kPieceCount;
        for (const Piece& piece : board_.catalogue().pieces) {
            if (left[piece.piece_id]) continue;
            spent += piece.size;
            last_size_seen = last_size_seen || piece.size == last_sizes_[p];
        }
        require(last_size_seen, "last piece size of player " + std::to_string(p) + " matches no placed piece");
        const uint32_t in_turn = p == current_player_ ? turn_tile_count_ : 0;
        require(covered[p] == spent + in_turn, "player " + std::to_string(p) + " covers " + std::to_string(covered[p]) +
                                                   " cells, not " + std::to_string(spent + in_turn));
        if (finished_[p])
            require(reference_triples(board_, p).empty(), "finished player " + std::to_string(p) + " can move");
    }

    require(is_terminal() == tile_moves_.empty(), "the move map is empty exactly when the game is over");
    if (is_terminal()) return;
    require(!finished_[current_player_], "the player to act is finished");

    CellSet union_of_moves;
    for (const Move& move : tile_moves_.moves()) {
        for (uint32_t i = 0; i < turn_tile_count_; ++i)
            require(move.covers(turn_tiles_[i]), "a move misses a tile taken this turn");
        for (uint32_t i = 0; i < move.size; ++i) union_of_moves.insert(move.tiles[i]);
    }
    for (uint32_t i = 0; i < turn_tile_count_; ++i) {
        require((board_.cell(turn_tiles_[i]) & kOwnerMask) == current_player_ + 1, "a taken tile is not covered");
        union_of_moves.erase(turn_tiles_[i]);
    }
    require(union_of_moves == tile_moves_.tiles(), "the map's keys are not the tiles its moves still cover");
    if (turn_tile_count_ == 0)
        require(sorted_triples(tile_moves_.moves()) == reference_triples(board_, current_player_),
                "the turn's moves differ from the legal placements");
}

}  // namespace zelmor
