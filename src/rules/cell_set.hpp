#pragma once
// A fixed-size set of board cells as a flat bitset. Copying it is a plain memory copy, which is what lets
// the search copy whole games cheaply; iteration is always in ascending cell order.
#include <array>
#include <bit>
#include <cstdint>

namespace zelmor {

constexpr uint32_t kMinDim = 4;
constexpr uint32_t kMaxDim = 32;
constexpr uint32_t kMaxCells = kMaxDim * kMaxDim;

class CellSet {
public:
    bool contains(uint32_t cell) const { return (words_[cell >> 6] >> (cell & 63)) & 1u; }
    void insert(uint32_t cell) { words_[cell >> 6] |= uint64_t{1} << (cell & 63); }
    void erase(uint32_t cell) { words_[cell >> 6] &= ~(uint64_t{1} << (cell & 63)); }
    void clear() { words_.fill(0); }

    bool empty() const {
        for (uint64_t w : words_)
            if (w) return false;
        return true;
    }

    uint32_t size() const {
        uint32_t n = 0;
        for (uint64_t w : words_) n += static_cast<uint32_t>(std::popcount(w));
        return n;
    }

    CellSet& operator&=(const CellSet& other) {
        for (uint32_t i = 0; i < kWords; ++i) words_[i] &= other.words_[i];
        return *this;
    }

    bool operator==(const CellSet&) const = default;

    // Adds first + i for every bit i of `bits` (one board row at a time).
    void insert_bits(uint32_t first, uint32_t bits) {
        const uint32_t word = first >> 6, shift = first & 63;
        words_[word] |= uint64_t{bits} << shift;
        if (shift > 32 && word + 1 < kWords) words_[word + 1] |= uint64_t{bits} >> (64 - shift);
    }

    // Members first .. first + count - 1 as bits 0 .. count - 1; count at most 32 (one board row).
    uint32_t bits(uint32_t first, uint32_t count) const {
        const uint32_t word = first >> 6, shift = first & 63;
        uint64_t value = words_[word] >> shift;
        if (shift + count > 64 && word + 1 < kWords) value |= words_[word + 1] << (64 - shift);
        return static_cast<uint32_t>(value & ((uint64_t{1} << count) - 1));
    }

    // Calls visit(cell) for every member, in ascending order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (uint32_t i = 0; i < kWords; ++i) {
            for (uint64_t w = words_[i]; w; w &= w - 1) visit(i * 64 + static_cast<uint32_t>(std::countr_zero(w)));
        }
    }

private:
    static constexpr uint32_t kWords = kMaxCells / 64;
    std::array<uint64_t, kWords> words_{};
};

}  // namespace zelmor
