#include "pieces.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "fatal_error.hpp"

namespace zelmor {
namespace {

// Base orientations, rows separated by '/'.
constexpr const char* kBaseShapes[kPieceCount] = {
    "#",           "##",          "##/.#",   "###",       "####",        "##/#./#.",    "###/.#.",
    "##/##",       "##./.##",     "#####",   "####/#...", "###./..##",   "###/##.",     "###/#../#..",
    "##./.##/..#", "##./.#./.##", "###/#.#", "####/.#..", ".#./###/.#.", ".#./###/#..", "###/.#./.#.",
};

Shape parse_shape(const char* rows) {
    Shape shape(1);
    for (const char* c = rows; *c; ++c) {
        if (*c == '/')
            shape.emplace_back();
        else
            shape.back().push_back(*c == '#');
    }
    return shape;
}

}  // namespace

PieceVariant PieceVariant::build(Shape shape, uint32_t dim) {
    PieceVariant v;
    v.width = static_cast<uint32_t>(shape.at(0).size());
    v.height = static_cast<uint32_t>(shape.size());
    for (uint32_t r = 0; r < v.height; ++r) {
        const auto& row = shape[r];
        for (uint32_t c = 0; c < row.size(); ++c) {
            if (row[c]) {
                v.padded_cells.at(v.offsets.size()) = {r, c};
                v.offsets.push_back(static_cast<uint32_t>(v.mask.size()));
            }
            v.mask.push_back(row[c]);
        }
        if (r + 1 < v.height) {
            if (row.size() > dim) throw FatalError("board side " + std::to_string(dim) + " is narrower than a piece");
            v.mask.insert(v.mask.end(), dim - row.size(), false);
        }
    }
    for (size_t i = v.offsets.size(); i < kMaxPieceCells; ++i) v.padded_cells[i] = v.padded_cells[0];
    v.shape = std::move(shape);
    return v;
}

Shape Piece::rotate(const Shape& shape) {
    const size_t h = shape.size(), w = shape.at(0).size();
    Shape out(w, std::vector<bool>(h));
    for (size_t j = 0; j < w; ++j)
        for (size_t k = 0; k < h; ++k) out[j][k] = shape[h - 1 - k].at(j);
    return out;
}

Shape Piece::flip(const Shape& shape) {
    Shape out = shape;
    for (auto& row : out) std::reverse(row.begin(), row.end());
    return out;
}

Piece Piece::build(uint32_t piece_id, uint32_t dim) {
    if (piece_id >= kPieceCount) throw FatalError("piece id " + std::to_string(piece_id) + " is not in 0..20");
    Piece piece;
    piece.piece_id = piece_id;
    piece.shape = parse_shape(kBaseShapes[piece_id]);
    for (const auto& row : piece.shape)
        for (bool filled : row) piece.size += filled;

    // Four turns of the base, then four turns of its mirror image, dropping repeats.
    for (Shape current : {piece.shape, flip(piece.shape)}) {
        for (int turn = 0; turn < 4; ++turn) {
            Shape next = rotate(current);
            PieceVariant v = PieceVariant::build(std::move(current), dim);
            bool repeat = false;
            for (const auto& seen : piece.variants) repeat = repeat || seen.mask == v.mask;
            if (!repeat) piece.variants.push_back(std::move(v));
            current = std::move(next);
        }
    }
    return piece;
}

const Catalogue& Catalogue::for_dim(uint32_t dim) {
    if (dim < kMinDim || dim > kMaxDim)
        throw FatalError("board side " + std::to_string(dim) + " is not in " + std::to_string(kMinDim) + ".." +
                         std::to_string(kMaxDim));
    static std::mutex mutex;
    static std::array<std::unique_ptr<const Catalogue>, kMaxDim + 1> built;
    std::lock_guard lock(mutex);
    auto& slot = built[dim];
    if (!slot) {
        auto catalogue = std::make_unique<Catalogue>();
        for (uint32_t id = 0; id < kPieceCount; ++id) catalogue->pieces[id] = Piece::build(id, dim);
        slot = std::move(catalogue);
    }
    return *slot;
}

}  // namespace zelmor
