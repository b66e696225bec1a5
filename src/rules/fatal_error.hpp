#pragma once
// The one exception type of the rules library: a broken precondition (a board side out of range, a player
// outside 0..3, a tile off the board, a piece index past the end). It ends the caller's whole operation;
// the Python bindings turn it into their own fatal exception. Rule rejections are never thrown: they are
// returned as values by Game::apply.
#include <stdexcept>
#include <string>

namespace zelmor {

class FatalError : public std::runtime_error {
public:
    explicit FatalError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace zelmor
