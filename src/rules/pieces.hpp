#pragma once
// The 21 polyominoes every player owns and their distinct orientations, each laid out for one board side
// so that a placement test is one pass over contiguous cell bytes. Built once per board side and shared,
// read-only, by every board of that side.
#include <array>
#include <cstdint>
#include <vector>

#include "cell_set.hpp"

namespace zelmor {

// Rows from top to bottom, each row's cells from left to right; true = part of the piece.
using Shape = std::vector<std::vector<bool>>;

constexpr uint32_t kPieceCount = 21;
constexpr uint32_t kCatalogueCells = 89;
constexpr uint32_t kMaxPieceCells = 5;

// Where a filled cell of an orientation lies relative to its bounding box's top-left cell.
struct CellOffset {
    uint32_t row;
    uint32_t col;
};

// One orientation of a piece, valid only on a board of the side it was built for.
struct PieceVariant {
    std::vector<uint32_t> offsets;  // row * dim + col of every filled cell, ascending
    std::vector<bool> mask;         // the rows with board stride: (rows - 1) * dim + width entries
    Shape shape;
    uint32_t width = 0;
    uint32_t height = 0;
    // The same cells as offsets, as (row, col), in the same order, padded to kMaxPieceCells entries by
    // repeating the first: a union over all entries then equals the union over the cells, and move
    // generation runs fixed-length loops.
    std::array<CellOffset, kMaxPieceCells> padded_cells{};

    static PieceVariant build(Shape shape, uint32_t dim);
};

struct Piece {
    Shape shape;                         // the catalogue's base orientation
    std::vector<PieceVariant> variants;  // distinct orientations; the position is the variant index
    uint32_t piece_id = 0;
    uint32_t size = 0;

    static Piece build(uint32_t piece_id, uint32_t dim);
    static Shape rotate(const Shape& shape);  // a quarter turn clockwise
    static Shape flip(const Shape& shape);    // left-right mirror image
};

// The whole catalogue for one board side. for_dim hands out one instance per side for the life of the
// process, so boards refer to it by pointer and a board copy never copies pieces.
struct Catalogue {
    std::array<Piece, kPieceCount> pieces;

    static const Catalogue& for_dim(uint32_t dim);  // FatalError outside kMinDim..kMaxDim
};

}  // namespace zelmor
