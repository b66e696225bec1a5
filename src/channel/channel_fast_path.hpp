#pragma once
// What the toolkit's shared-memory channel (zelmor_lab._channel) offers the engine through a capsule: a
// worker's position goes into its slot as bytes and the reply comes back as floats, with no Python object
// made on the way. The engine takes this road only for the channel's own queue and pipe types (an exact
// type check, nothing looked up on the objects) and only when the channel was made for the request's board
// side and layout; each failure raises the Python exception that the objects' put and recv would raise.
#include <Python.h>

#include <cstdint>

namespace zelmor_channel {

inline constexpr const char* kFastPathCapsule = "zelmor_lab._channel._fast_path";

struct FastPath {
    PyTypeObject* queue_type;
    PyTypeObject* pipe_type;
    // Sends the planes (5 * dim * dim bytes in the layout of `rep`) as worker `id`'s request: 0 when sent,
    // 1 when the channel holds another board side or layout (nothing done), -1 with a Python exception set.
    int (*put)(PyObject* queue, int32_t id, const uint8_t* planes, uint32_t dim, uint32_t rep);
    // Waits for the reply, without the interpreter lock, and copies out its dim * dim policy logits and
    // 4 value logits: 0, or -1 with a Python exception set.
    int (*recv)(PyObject* pipe, float* policy, float* values);
};

}  // namespace zelmor_channel
