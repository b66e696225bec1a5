// The inference service's memory of the replies it has sent over the shared-memory channel, kept in the
// channel's block so that a worker finds a repeated position there itself: the request never reaches the
// service, and the worker never sleeps for it.
//
// A third of a game's requests at 32 simulations per action repeat a position the game has already sent:
// the search of the next action goes through the positions of the last one, and the same squares taken in
// another order meet again. Keys are (network front, the request's planes packed to bits); values are the
// reply's floats as the network computed them, so an answer from here is byte for byte the computed one.
//
// The table is set-associative: a key may sit in any of the kWays entries of the set its hash picks, and
// the least recently used entry of that set makes way for a new one. The services write (a run may have
// several); any number of workers read at once. Each entry is a sequence lock: a writer takes the entry by
// turning its version from even to odd and writes, and a reader that saw an odd version, or a different
// version after copying, treats the entry as a miss. A writer that finds its entry taken by another leaves
// its reply out: the table is a cache, and a lost insert costs one network run later. Readers mark what they use in
// `used`, a relaxed store: a lost mark only ages an entry early.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

namespace zelmor_channel {

constexpr uint32_t kWays = 4;
// A key's bytes: the front, then one bit per request byte.
constexpr size_t key_bytes(size_t request_bytes) { return 4 + (request_bytes + 7) / 8; }
constexpr size_t kMaxKeyBytes = key_bytes(5 * 32 * 32);  // the planes of the largest board

struct EntryHead {
    std::atomic<uint32_t> version;  // odd while a service writes the entry
    std::atomic<uint32_t> used;     // the table's clock when the entry was last written or read
    uint64_t hash;                  // 0: empty
};

// A key: the front and the request's bytes (each 0 or 1) packed to bits, with its hash (never 0).
struct ReplyKey {
    size_t bytes;
    uint64_t hash;
    uint8_t data[kMaxKeyBytes];

    ReplyKey(uint32_t front, const uint8_t* request, size_t request_bytes) : bytes(key_bytes(request_bytes)) {
        std::memset(data, 0, bytes);
        std::memcpy(data, &front, 4);
        uint8_t* bits = data + 4;
        size_t i = 0;
        for (; i + 8 <= request_bytes; i += 8) {  // eight bytes of 0 or 1 into one byte, by one multiply
            uint64_t eight;
            std::memcpy(&eight, request + i, 8);
            eight &= 0x0101010101010101ull;
            bits[i >> 3] = static_cast<uint8_t>((eight * 0x0102040810204080ull) >> 56);
        }
        for (; i < request_bytes; ++i) bits[i >> 3] |= static_cast<uint8_t>((request[i] & 1) << (i & 7));
        uint64_t h = 0x9E3779B97F4A7C15ull;
        for (size_t k = 0; k < bytes; k += 8) {
            uint64_t word = 0;
            std::memcpy(&word, data + k, std::min<size_t>(8, bytes - k));
            h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
            h ^= h >> 31;
        }
        hash = h | 1;
    }
};

// A view of the table in the block: `sets` sets of kWays entries from `base`, for requests of
// `request_bytes` bytes and replies of `policy_floats` + `value_floats` floats.
class ReplyTable {
public:
    ReplyTable(void* base, uint64_t sets, size_t request_bytes, size_t policy_floats, size_t value_floats,
               std::atomic<uint32_t>* clock)
        : base_(static_cast<char*>(base)),
          sets_(sets),
          reply_offset_(sizeof(EntryHead) + (key_bytes(request_bytes) + 3) / 4 * 4),
          policy_floats_(policy_floats),
          value_floats_(value_floats),
          stride_(entry_bytes(request_bytes, policy_floats + value_floats)),
          clock_(clock) {}

    // Bytes of one entry in the block, a whole number of cache lines.
    static size_t entry_bytes(size_t request_bytes, size_t reply_floats) {
        const size_t bytes = sizeof(EntryHead) + (key_bytes(request_bytes) + 3) / 4 * 4 + reply_floats * sizeof(float);
        return (bytes + 63) / 64 * 64;
    }

    bool empty() const { return sets_ == 0; }

    // Copies the reply of `key` into `policy` and `values` and returns true when the table holds it.
    // On false the two may hold anything.
    // The table is not empty().
    bool find(const ReplyKey& key, float* policy, float* values) const {
        for (uint32_t way = 0; way < kWays; ++way) {
            char* entry = entry_at(key.hash, way);
            auto* head = reinterpret_cast<EntryHead*>(entry);
            const uint32_t version = head->version.load(std::memory_order_acquire);
            if (version & 1 || head->hash != key.hash || std::memcmp(key_of(entry), key.data, key.bytes) != 0) continue;
            const float* reply = reply_of(entry);
            std::memcpy(policy, reply, policy_floats_ * sizeof(float));
            std::memcpy(values, reply + policy_floats_, value_floats_ * sizeof(float));
            std::atomic_thread_fence(std::memory_order_acquire);
            if (head->version.load(std::memory_order_relaxed) != version) return false;
            head->used.store(clock_->fetch_add(1, std::memory_order_relaxed), std::memory_order_relaxed);
            return true;
        }
        return false;
    }

    // Remembers the reply of `key`, in place of the same key or of its set's least recently used entry,
    // unless another service is writing that entry. The services only; the table is not empty().
    void insert(const ReplyKey& key, const float* policy, const float* values) {
        char* chosen = nullptr;
        int64_t oldest = -1;
        const uint32_t now = clock_->fetch_add(1, std::memory_order_relaxed);
        for (uint32_t way = 0; way < kWays; ++way) {
            char* entry = entry_at(key.hash, way);
            auto* head = reinterpret_cast<EntryHead*>(entry);
            if (head->hash == key.hash && std::memcmp(key_of(entry), key.data, key.bytes) == 0) {
                chosen = entry;
                break;
            }
            // A reader may have marked the entry after `now` was taken: that is an age of 0, not of 2^32 - 1.
            const int64_t age =
                head->hash == 0
                    ? INT64_MAX
                    : std::max<int32_t>(0, static_cast<int32_t>(now - head->used.load(std::memory_order_relaxed)));
            if (age > oldest) {
                chosen = entry;
                oldest = age;
            }
        }
        auto* head = reinterpret_cast<EntryHead*>(chosen);
        uint32_t version = head->version.load(std::memory_order_relaxed);
        if (version & 1 || !head->version.compare_exchange_strong(version, version + 1, std::memory_order_relaxed))
            return;
        std::atomic_thread_fence(std::memory_order_release);
        head->hash = key.hash;
        std::memcpy(key_of(chosen), key.data, key.bytes);
        float* reply = reply_of(chosen);
        std::memcpy(reply, policy, policy_floats_ * sizeof(float));
        std::memcpy(reply + policy_floats_, values, value_floats_ * sizeof(float));
        head->used.store(now, std::memory_order_relaxed);
        head->version.store(version + 2, std::memory_order_release);
    }

private:
    char* entry_at(uint64_t hash, uint32_t way) const { return base_ + ((hash >> 1) % sets_ * kWays + way) * stride_; }
    static uint8_t* key_of(char* entry) { return reinterpret_cast<uint8_t*>(entry + sizeof(EntryHead)); }
    float* reply_of(char* entry) const { return reinterpret_cast<float*>(entry + reply_offset_); }

    char* base_;
    uint64_t sets_;
    size_t reply_offset_, policy_floats_, value_floats_, stride_;
    std::atomic<uint32_t>* clock_;  // in the block's header, shared by every process
};

}  // namespace zelmor_channel
