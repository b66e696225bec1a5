// A shared-memory channel between self-play workers and the inference service. Each worker owns one slot
// of a block mapped into every process: put() writes the encoded position straight into the slot and
// recv() sleeps on a futex until the service has written the reply there, without holding the GIL. The
// service gathers the waiting slots as numpy views over the same block, so a batch reaches the network
// without any per-element work in Python. Linux only (memfd, futex).
//
// The block may end in a reply table (reply_table.hpp) that the service fills as it completes batches.
// put() looks the position up there first, and a position found is answered in the slot at once: about
// a third of a game's requests never wake the service, never make its batches smaller, and never put
// their worker to sleep.
//
// Several services may share one block, each with its own lane of slots (see Lane): the network then
// runs on as many cores as there are services, while the workers of every lane share one reply table.
//
// On two cores a wake-up costs more than the work it announces, so each side says when it sleeps and
// the other makes the system call only then: a worker wakes a gathering service only with the last
// request of a full batch, and the service wakes only workers that have gone to sleep.
//
// The block is a memfd: it has no name to leak, and it disappears when the last process unmaps it, in
// every outcome including SIGKILL. Other processes map it through /proc/<creator pid>/fd/<fd> while the
// creator is alive.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "channel_fast_path.hpp"
#include "reply_table.hpp"

namespace nb = nanobind;

namespace {

constexpr uint32_t kMagic = 0x5A4C4D43;  // "ZLMC"
constexpr uint32_t kPlanes = 5;
constexpr uint32_t kPlayers = 4;
constexpr size_t kLine = 64;

enum SlotState : uint32_t { kIdle = 0, kRequested = 1, kAnswered = 2 };
constexpr uint32_t kFronts = 2;  // networks a channel serves: 0 the model, 1 the baseline

struct Header {
    uint32_t magic;
    uint32_t slots;
    uint32_t dim;
    uint32_t rep;
    uint32_t lanes;                     // services sharing the block; see Lane
    uint32_t table_sets;                // sets of the reply table (0: none); see reply_table.hpp
    std::atomic<uint32_t> table_clock;  // the reply table's ages
    std::atomic<uint32_t> replies;      // futex word the sleeping workers share, each on its slot's bit
    std::atomic<uint32_t> to_wake;      // bits of sleepers a service has answered and not yet woken
};
static_assert(sizeof(Header) <= kLine);

// One service's side of the block. Several services may share a block, each answering its own lane: the
// slots s with s % lanes == lane. The reply table is common to all, so a position one service computed is
// found by every worker. A lane that is closed, or whose service has exited, fails only its own workers.
struct Lane {
    alignas(kLine) std::atomic<uint32_t> pending;  // requests not yet answered; futex word the service sleeps on
    std::atomic<uint32_t> service_sleep;           // how many pending requests the sleeping service waits for; 0: awake
    std::atomic<uint32_t> closed;
    std::atomic<int32_t> service_pid;
    std::atomic<uint64_t> table_hits;  // requests of the lane's workers found in the reply table
};
static_assert(sizeof(Lane) == kLine);

struct SlotControl {
    alignas(kLine) std::atomic<uint32_t> state;  // a SlotState
    std::atomic<uint32_t> worker_asleep;
    uint32_t worker_spins;  // the worker's own note: whether its last reply came within its spin
    uint32_t front;         // which network, below kFronts
    int32_t worker_id;      // the id the module sent with the request
};

// Before sleeping on a futex each side looks again for a while, yielding its core to any other runnable
// process between looks. A quick network answers within tens of microseconds, and on a lightly loaded
// machine a futex wake-up costs more than that (the woken process waits for an idle core to come out of
// its sleep state); measured with a null network on two cores, these spins took the exchange from
// about 17,000 to about 40,000 evaluations per second. A slow network costs each waiting worker one
// spin per reply, yielded to whoever needs the core. The service looks for a whole millisecond: its
// workers take a few hundred microseconds to send the next batch, and a service that slept through
// that wait ran the default network about 8% slower than the same network alone (pipeline at 81 to
// 85% of the network alone; 87 to 95% with the longer look).
constexpr auto kServiceSpin = std::chrono::microseconds(1000);
constexpr auto kWorkerSpin = std::chrono::microseconds(200);
// A sleeping worker's longest sleep: how soon it notices that the service has vanished.
constexpr auto kLookEvery = std::chrono::milliseconds(50);

size_t round_up(size_t n) { return (n + kLine - 1) / kLine * kLine; }

// `bits` is the third value of the bitset operations; the others ignore it.
long futex(std::atomic<uint32_t>& word, int op, uint32_t value, const timespec* timeout, uint32_t bits = 0) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op, value, timeout, nullptr, bits);
}

void wait_while_equal(std::atomic<uint32_t>& word, uint32_t value, double seconds) {
    timespec timeout{static_cast<time_t>(seconds), static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    futex(word, FUTEX_WAIT, value, &timeout);
}

// The workers all sleep on Header::replies, each on the bit of its slot (slots 32 apart share a bit; a
// worker woken for another's reply looks at its own slot and sleeps again). The service wakes one
// sleeper of a batch, and that worker wakes the others: each wake-up took the service 12 to 17 µs,
// mostly as a woken worker took its core, so a batch of 8 sleepers cost it about 100 µs against 1.4 µs
// with none, and woken in one system call, 140 µs. On the workers' side the wake-ups cost a core that has
// time to spare.
uint32_t reply_bit(uint32_t slot) { return 1u << (slot % 32); }

// Sleeps while `header.replies` holds `value`, at most `seconds`, then wakes the sleepers the service
// has left to it.
void sleep_for_reply(Header& header, uint32_t value, uint32_t bit, double seconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);  // FUTEX_WAIT_BITSET takes an absolute monotonic time
    const long long nanoseconds = deadline.tv_nsec + static_cast<long long>(seconds * 1e9);
    deadline.tv_sec += static_cast<time_t>(nanoseconds / 1'000'000'000);
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    futex(header.replies, FUTEX_WAIT_BITSET, value, &deadline, bit);
    if (const uint32_t others = header.to_wake.exchange(0); others != 0)
        futex(header.replies, FUTEX_WAKE_BITSET, INT32_MAX, nullptr, others);
}

// Wakes `wanted` of the sleepers on `bits`: changing the word first, so that a worker between its last
// look and its sleep does not sleep.
void wake_for_replies(Header& header, uint32_t bits, int wanted) {
    header.replies.fetch_add(1);
    futex(header.replies, FUTEX_WAKE_BITSET, static_cast<uint32_t>(wanted), nullptr, bits);
}

// The sleep flags (Header::service_sleep, SlotControl::worker_asleep) and the words they guard are
// stored and loaded sequentially consistent: a sleeper raises its flag and then looks at the word once
// more, the waker changes the word and then looks at the flag, so at least one of them sees the other.
// The futex call itself compares the word (a worker's: Header::replies, read before its flag is raised),
// so a change between the last look and the sleep is not lost.
void wake_all(std::atomic<uint32_t>& word) { futex(word, FUTEX_WAKE, INT32_MAX, nullptr); }

// A killed process stays a zombie until its parent reaps it, and kill(pid, 0) still succeeds on a
// zombie: only its state in /proc tells that it can no longer answer.
bool process_running(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[512];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return false;
    text[n] = 0;
    const char* end_of_name = std::strrchr(text, ')');  // the name itself may hold ')'
    return end_of_name && end_of_name[1] == ' ' && end_of_name[2] != 'Z' && end_of_name[2] != 'X';
}

[[noreturn]] void os_error(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

// Why a channel of this shape cannot be made, or an empty text when it can.
std::string shape_trouble(uint32_t slots, uint32_t dim, uint32_t rep, uint32_t lanes) {
    if (slots == 0 || slots > 4096) return "slots must be in 1..4096";
    if (dim < 4 || dim > 32) return "dim must be in 4..32";
    if (rep != 1 && rep != 2) return "rep must be 1 or 2";
    if (lanes == 0 || lanes > slots) return "lanes must be in 1..slots";
    return {};
}

// A timeout in seconds as the waits take it; NaN would compare false with every deadline and wait for ever.
double checked_seconds(double seconds, const char* name) {
    if (std::isnan(seconds))
        throw nb::value_error((std::string(name) + " must be a number of seconds, got nan").c_str());
    return seconds;
}

class Channel {
public:
    // cache_bytes: the most the reply table may take (0: no table); lanes: the services that will answer.
    static Channel* create(uint32_t slots, uint32_t dim, uint32_t rep, uint64_t cache_bytes, uint32_t lanes) {
        if (const std::string trouble = shape_trouble(slots, dim, rep, lanes); !trouble.empty())
            throw nb::value_error(trouble.c_str());
        const uint64_t sets = std::min<uint64_t>(cache_bytes / (zelmor_channel::kWays * entry_bytes(dim)), UINT32_MAX);
        // Sealed at its size, so that no process can shrink the block under another's mapping.
        const int fd = memfd_create("zelmor-channel", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd < 0) os_error("memfd_create");
        const uint64_t size = block_size(slots, dim, sets, lanes);
        if (ftruncate(fd, static_cast<off_t>(size)) != 0 || fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0) {
            const int error = errno;
            close(fd);
            errno = error;
            os_error("cannot size the channel");
        }
        auto* channel = new Channel(fd, size, true, slots, dim, rep, lanes, static_cast<uint32_t>(sets));
        Header* h = channel->header();
        h->slots = slots;
        h->lanes = lanes;
        h->dim = dim;
        h->rep = rep;
        h->table_sets = static_cast<uint32_t>(sets);
        h->magic = kMagic;
        return channel;
    }

    // The header is another process's word: its shape is checked against the file's real size before
    // anything is mapped, and kept, so that no later change to the header moves a view out of the block.
    static Channel* attach(const std::string& path) {
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) os_error("cannot open channel " + path);
        Header probe{};
        struct stat file{};
        std::string trouble;
        if (pread(fd, &probe, sizeof probe, 0) != static_cast<ssize_t>(sizeof probe) || probe.magic != kMagic) {
            trouble = "not a channel: " + path;
        } else if (const std::string shape = shape_trouble(probe.slots, probe.dim, probe.rep, probe.lanes);
                   !shape.empty()) {
            trouble = "channel " + path + " has a damaged header: " + shape;
        } else if (fstat(fd, &file) != 0) {
            trouble = "cannot read the size of channel " + path + ": " + std::strerror(errno);
        } else if (const uint64_t needed = block_size(probe.slots, probe.dim, probe.table_sets, probe.lanes);
                   static_cast<uint64_t>(file.st_size) < needed) {
            trouble = "channel " + path + " holds " + std::to_string(file.st_size) + " bytes; its header (" +
                      std::to_string(probe.slots) + " slots, dim " + std::to_string(probe.dim) + ", " +
                      std::to_string(probe.lanes) + (probe.lanes == 1 ? " lane, " : " lanes, ") +
                      std::to_string(probe.table_sets) + " reply sets) needs " + std::to_string(needed);
        }
        if (!trouble.empty()) {
            close(fd);
            throw nb::value_error(trouble.c_str());
        }
        return new Channel(fd, block_size(probe.slots, probe.dim, probe.table_sets, probe.lanes), false, probe.slots,
                           probe.dim, probe.rep, probe.lanes, probe.table_sets);
    }

    ~Channel() {
        if (base_) munmap(base_, size_);
        if (fd_ >= 0) close(fd_);
    }

    std::string path() const { return "/proc/" + std::to_string(creator_pid_) + "/fd/" + std::to_string(fd_); }
    uint32_t slots() const { return slots_; }
    uint32_t dim() const { return dim_; }
    uint32_t rep() const { return rep_; }
    uint32_t lanes() const { return lanes_; }
    size_t request_bytes() const { return size_t{kPlanes} * dim() * dim(); }

    // --- worker side ---

    // Copies the nested bool lists of (id, state) into the slot and wakes the service.
    void put(uint32_t slot, uint32_t front, nb::handle request) {
        SlotControl& control = free_slot(slot);
        if (!PyTuple_Check(request.ptr()) || PyTuple_GET_SIZE(request.ptr()) != 2)
            throw nb::type_error("a request is a tuple (id, state)");
        const long id = PyLong_AsLong(PyTuple_GET_ITEM(request.ptr(), 0));
        if (id == -1 && PyErr_Occurred()) throw nb::python_error();
        read_state(PyTuple_GET_ITEM(request.ptr(), 1), request_data(slot));
        submit(slot, control, static_cast<int32_t>(id), front);
    }

    // The same request as put's, its planes given as request_bytes() bytes in the channel's layout.
    void put_bytes(uint32_t slot, uint32_t front, int32_t id, const uint8_t* planes) {
        SlotControl& control = free_slot(slot);
        std::memcpy(request_data(slot), planes, request_bytes());
        submit(slot, control, id, front);
    }

    // Waits for the reply without the GIL. Returns an empty text once it is there, else why it will
    // not come: no reply within `timeout` seconds, or the service has exited or closed the channel.
    std::string await_reply(uint32_t slot, double timeout) {
        SlotControl& control = slot_control(checked_slot(slot));
        if (control.state.load(std::memory_order_acquire) == kIdle)
            throw nb::value_error("recv without a request outstanding");
        nb::gil_scoped_release unlocked;
        return wait_for_reply(slot, control, timeout);
    }

    // The reply of an answered slot as (policy logits, value logits); frees the slot.
    nb::tuple take_reply(uint32_t slot) {
        SlotControl& control = slot_control(checked_slot(slot));
        const uint32_t cells = dim() * dim();
        nb::list policy = float_list(policy_data(slot), cells);
        nb::list values = float_list(value_data(slot), kPlayers);
        control.state.store(kIdle, std::memory_order_release);
        return nb::make_tuple(policy, values);
    }

    // The same reply copied into dim * dim and kPlayers floats; frees the slot.
    void copy_reply(uint32_t slot, float* policy, float* values) {
        SlotControl& control = slot_control(checked_slot(slot));
        std::memcpy(policy, policy_data(slot), size_t{dim()} * dim() * sizeof(float));
        std::memcpy(values, value_data(slot), kPlayers * sizeof(float));
        control.state.store(kIdle, std::memory_order_release);
    }

    // --- service side ---

    // Makes this process the service of `lane`: wait_batch() gathers that lane's slots, and its workers look
    // for this process when a reply is slow in coming.
    void serve(uint32_t lane) {
        if (lane >= lanes()) throw nb::index_error(("lane " + std::to_string(lane) + " out of range").c_str());
        lane_ = lane;
        serving_ = true;
        lane_at(lane).service_pid.store(getpid());
    }

    // Requests answered from the reply table since the channel was made (all lanes', or those of the lane
    // this process serves), and the most the table holds.
    uint64_t cache_hits() const {
        uint64_t hits = 0;
        for (uint32_t lane = 0; lane < lanes(); ++lane)
            hits += lane_at(lane).table_hits.load(std::memory_order_relaxed);
        return hits;
    }
    uint64_t served_hits() const { return lane_at(lane_).table_hits.load(std::memory_order_relaxed); }
    uint64_t cache_capacity() const { return uint64_t{header()->table_sets} * zelmor_channel::kWays; }

    // The waiting requests of the served lane as a list of (front, slots): one entry per network with
    // requests, in front order, each with its slots (int64 array) in slot order. Once one request waits,
    // waits up to `gather` seconds more for the others, stopping early when `max_batch` requests (0: every
    // slot of the lane) wait. A batch holds at most `max_batch` requests, taken in turn from the slots after the last
    // batch's, so that no worker waits behind the others twice. Empty after `timeout` seconds without
    // any request, or when the channel is closed.
    nb::list wait_batch(double gather, double timeout, uint32_t max_batch) {
        checked_seconds(gather, "gather");
        checked_seconds(timeout, "timeout");
        const uint32_t lane_slots = (slots() - lane_ + lanes() - 1) / lanes();
        const uint32_t batch = max_batch == 0 ? lane_slots : std::min(max_batch, lane_slots);
        std::vector<int64_t> ready;
        {
            nb::gil_scoped_release unlocked;
            using Clock = std::chrono::steady_clock;
            const auto now = Clock::now();
            sleep_until(1, now + std::chrono::duration<double>(timeout), ready);
            if (!ready.empty() && ready.size() < batch)
                sleep_until(batch, Clock::now() + std::chrono::duration<double>(gather), ready);
        }
        take_in_turn(ready, batch);
        nb::list groups;
        for (uint32_t front = 0; front < kFronts; ++front) {
            size_t count = 0;
            for (int64_t slot : ready) count += slot_control(static_cast<uint32_t>(slot)).front == front;
            if (count == 0) continue;
            auto* data = new int64_t[count];
            size_t k = 0;
            for (int64_t slot : ready)
                if (slot_control(static_cast<uint32_t>(slot)).front == front) data[k++] = slot;
            nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<int64_t*>(p); });
            groups.append(nb::make_tuple(front, nb::ndarray<nb::numpy, int64_t>(data, {count}, owner)));
        }
        return groups;
    }

    // Writes row i of `logits` (B, dim * dim + 4: the policy logits, then the value logits) as the reply of
    // slot_indices[i] and hands it to that slot's worker. A slot with no request outstanding is left alone.
    void complete(nb::ndarray<int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> slot_indices,
                  nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu> logits) {
        const size_t cells = size_t{dim()} * dim();
        if (logits.shape(0) != slot_indices.shape(0) || logits.shape(1) != cells + kPlayers)
            throw nb::value_error(("logits: expected shape (" + std::to_string(slot_indices.shape(0)) + ", " +
                                   std::to_string(cells + kPlayers) + "), got (" + std::to_string(logits.shape(0)) +
                                   ", " + std::to_string(logits.shape(1)) + ")")
                                      .c_str());
        uint32_t asleep = 0;
        for (size_t i = 0; i < slot_indices.shape(0); ++i) {
            const int64_t slot = slot_indices(i);
            if (slot < 0 || slot >= static_cast<int64_t>(slots())) throw nb::index_error("slot out of range");
            const auto s = static_cast<uint32_t>(slot);
            SlotControl& control = slot_control(s);
            if (control.state.load() != kRequested) continue;  // answered once; `pending` counted it
            const float* row = logits.data() + i * (cells + kPlayers);
            std::memcpy(policy_data(s), row, cells * sizeof(float));
            std::memcpy(value_data(s), row + cells, kPlayers * sizeof(float));
            if (!table_.empty())
                table_.insert(zelmor_channel::ReplyKey(control.front, request_data(s), request_bytes()), policy_data(s),
                              value_data(s));
            control.state.store(kAnswered);
            lane_of(s).pending.fetch_sub(1);
            if (control.worker_asleep.load()) asleep |= reply_bit(s);
        }
        if (asleep != 0) {
            header()->to_wake.fetch_or(asleep);
            wake_for_replies(*header(), asleep, 1);
        }
    }

    // Why the service answering `slot` can no longer answer, or an empty text while it can.
    std::string service_trouble(uint32_t slot) const {
        const Lane& lane = lane_of(checked_slot(slot));
        if (lane.closed.load()) return "the inference service closed the channel";
        const int32_t service = lane.service_pid.load();
        if (service > 0 && !process_running(service))
            return "the inference service (pid " + std::to_string(service) + ") has exited";
        return {};
    }

    // Closes the lane this process serves, or every lane when it serves none (the process that made the
    // channel ending the run).
    void close_channel() {
        for (uint32_t lane = 0; lane < lanes(); ++lane) {
            if (serving_ && lane != lane_) continue;
            Lane& closing = lane_at(lane);
            closing.closed.store(1);
            closing.pending.fetch_add(1);  // a service about to sleep sees the word change and does not sleep
            wake_all(closing.pending);
        }
        wake_for_replies(*header(), FUTEX_BITSET_MATCH_ANY, INT32_MAX);
    }

    int32_t worker_id(uint32_t slot) const { return slot_control(checked_slot(slot)).worker_id; }
    uint8_t* requests() const { return reinterpret_cast<uint8_t*>(base_) + requests_offset(); }
    float* policies() const { return reinterpret_cast<float*>(reinterpret_cast<char*>(base_) + policies_offset()); }
    float* values() const { return reinterpret_cast<float*>(reinterpret_cast<char*>(base_) + values_offset()); }

private:
    Channel(int fd, size_t size, bool creator, uint32_t slots, uint32_t dim, uint32_t rep, uint32_t lanes,
            uint32_t table_sets)
        : fd_(fd), size_(size), creator_pid_(getpid()), slots_(slots), dim_(dim), rep_(rep), lanes_(lanes) {
        base_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (base_ == MAP_FAILED) {
            base_ = nullptr;
            os_error("mmap");
        }
        table_ = zelmor_channel::ReplyTable(static_cast<char*>(base_) + table_offset(), table_sets, request_bytes(),
                                            size_t{dim} * dim, kPlayers, &header()->table_clock);
        if (!creator) {
            close(fd_);  // the mapping keeps the memory alive
            fd_ = -1;
        }
    }

    // In 64-bit arithmetic: the shape is checked first, and no product of its limits comes near 2^64.
    static uint64_t block_size(uint64_t slots, uint64_t dim, uint64_t table_sets, uint64_t lanes) {
        const uint64_t cells = dim * dim;
        return kLine + lanes * sizeof(Lane) + round_up(slots * sizeof(SlotControl)) +
               round_up(slots * kPlanes * cells) + round_up(slots * cells * sizeof(float)) +
               round_up(slots * kPlayers * sizeof(float)) + table_sets * zelmor_channel::kWays * entry_bytes(dim);
    }
    static uint64_t entry_bytes(uint64_t dim) {
        return zelmor_channel::ReplyTable::entry_bytes(kPlanes * dim * dim, dim * dim + kPlayers);
    }
    size_t controls_offset() const { return kLine + size_t{lanes()} * sizeof(Lane); }
    size_t requests_offset() const { return controls_offset() + round_up(slots() * sizeof(SlotControl)); }
    size_t policies_offset() const { return requests_offset() + round_up(slots() * request_bytes()); }
    size_t values_offset() const {
        return policies_offset() + round_up(size_t{slots()} * dim() * dim() * sizeof(float));
    }
    size_t table_offset() const { return values_offset() + round_up(size_t{slots()} * kPlayers * sizeof(float)); }

    Header* header() const { return static_cast<Header*>(base_); }
    Lane& lane_at(uint32_t lane) const { return reinterpret_cast<Lane*>(static_cast<char*>(base_) + kLine)[lane]; }
    Lane& lane_of(uint32_t slot) const { return lane_at(slot % lanes()); }
    SlotControl& slot_control(uint32_t slot) const {
        return reinterpret_cast<SlotControl*>(static_cast<char*>(base_) + controls_offset())[slot];
    }
    uint8_t* request_data(uint32_t slot) const { return requests() + slot * request_bytes(); }
    float* policy_data(uint32_t slot) const { return policies() + size_t{slot} * dim() * dim(); }
    float* value_data(uint32_t slot) const { return values() + size_t{slot} * kPlayers; }

    SlotControl& free_slot(uint32_t slot) const {
        SlotControl& control = slot_control(checked_slot(slot));
        if (control.state.load(std::memory_order_acquire) == kRequested)
            throw nb::value_error("this worker already has a request outstanding");
        return control;
    }

    // A position the reply table holds is answered on the spot: the reply goes into the slot's rows and the
    // slot is answered without the service ever seeing the request.
    void submit(uint32_t slot, SlotControl& control, int32_t id, uint32_t front) {
        control.worker_id = id;
        control.front = front;
        Lane& lane = lane_of(slot);
        if (!table_.empty() && table_.find(zelmor_channel::ReplyKey(front, request_data(slot), request_bytes()),
                                           policy_data(slot), value_data(slot))) {
            lane.table_hits.fetch_add(1, std::memory_order_relaxed);
            control.state.store(kAnswered, std::memory_order_release);
            return;
        }
        control.state.store(kRequested);
        const uint32_t pending = lane.pending.fetch_add(1) + 1;
        const uint32_t awaited = lane.service_sleep.load();
        if (awaited != 0 && pending >= awaited) wake_all(lane.pending);
    }

    uint32_t checked_slot(uint32_t slot) const {
        if (slot >= slots()) throw nb::index_error(("slot " + std::to_string(slot) + " out of range").c_str());
        return slot;
    }

    void collect_ready(std::vector<int64_t>& ready) const {
        ready.clear();
        for (uint32_t s = lane_; s < slots(); s += lanes())
            if (slot_control(s).state.load() == kRequested) ready.push_back(s);
    }

    // Keeps the first `batch` of the ready slots counting on from the slot after the last batch's
    // last, in slot order.
    void take_in_turn(std::vector<int64_t>& ready, uint32_t batch) {
        if (ready.size() > batch) {
            const auto first = std::lower_bound(ready.begin(), ready.end(), next_turn_);
            std::rotate(ready.begin(), first, ready.end());
            ready.resize(batch);
            next_turn_ = ready.back() + 1;
            std::sort(ready.begin(), ready.end());
        }
    }

    // Collects the waiting slots into `ready` until `wanted` of them wait, the deadline passes or the
    // channel closes; sleeps in between with its wish posted for the workers.
    template <class TimePoint>
    void sleep_until(uint32_t wanted, TimePoint deadline, std::vector<int64_t>& ready) const {
        Lane* h = &lane_at(lane_);
        auto enough = [&] {
            collect_ready(ready);
            return ready.size() >= wanted;
        };
        const auto spin_until = std::chrono::steady_clock::now() + kServiceSpin;
        for (auto now = std::chrono::steady_clock::now(); now < spin_until && now < deadline;
             now = std::chrono::steady_clock::now()) {
            if (enough()) return;
            sched_yield();
        }
        for (;;) {
            const uint32_t seen = h->pending.load();
            h->service_sleep.store(wanted);
            const bool done = enough();
            const double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (done || h->closed.load() || left <= 0) break;
            wait_while_equal(h->pending, seen, std::min(left, 0.1));
        }
        h->service_sleep.store(0);
    }

    std::string wait_for_reply(uint32_t slot, SlotControl& control, double timeout) const {
        using Clock = std::chrono::steady_clock;
        const auto give_up = Clock::now() + std::chrono::duration<double>(timeout);
        std::string trouble;
        // A reply found in the reply table says nothing about how quickly the service answers.
        if (control.state.load(std::memory_order_acquire) == kAnswered) return {};
        // A worker spins only while replies come that quickly: behind a real network each spin would
        // only take the core from the service.
        const auto spin_until = Clock::now() + kWorkerSpin;
        auto next_look = spin_until + kLookEvery;
        for (bool spin = control.worker_spins != 0; spin && Clock::now() < spin_until;) {
            if (control.state.load() == kAnswered) return {};
            sched_yield();
        }
        for (;;) {
            const uint32_t state = control.state.load(std::memory_order_acquire);
            if (state == kAnswered) {
                control.worker_spins = Clock::now() < spin_until;
                return {};
            }
            if (lane_of(slot).closed.load()) return service_trouble(slot);
            // The service is looked at only once a reply is slow in coming, and then every sleep's length.
            if (Clock::now() >= next_look) {
                if (!(trouble = service_trouble(slot)).empty()) return trouble;
                next_look = Clock::now() + kLookEvery;
            }
            const double left = std::chrono::duration<double>(give_up - Clock::now()).count();
            if (left <= 0) {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g", timeout);
                return std::string("no reply from the inference service within ") + seconds + " s";
            }
            const uint32_t replies = header()->replies.load();
            control.worker_asleep.store(1);
            if (control.state.load() == state)
                sleep_for_reply(*header(), replies, reply_bit(slot),
                                std::min(left, std::chrono::duration<double>(kLookEvery).count()));
            control.worker_asleep.store(0);
        }
    }

    // The (5, dim, dim) or (dim, dim, 5) nested lists of bools, checked, into `out` in that layout.
    void read_state(PyObject* state, uint8_t* out) const {
        const uint32_t d = dim();
        const uint32_t shape[3] = {rep() == 1 ? kPlanes : d, d, rep() == 1 ? d : kPlanes};
        size_t k = 0;
        auto fail_shape = [&](int depth, Py_ssize_t got) {
            throw nb::value_error(("request state: expected " + std::to_string(shape[depth]) + " entries at depth " +
                                   std::to_string(depth) + ", got " + std::to_string(got))
                                      .c_str());
        };
        auto list_of = [&](PyObject* object, int depth) {
            if (!PyList_Check(object)) throw nb::type_error("request state: expected nested lists of bool");
            if (PyList_GET_SIZE(object) != static_cast<Py_ssize_t>(shape[depth]))
                fail_shape(depth, PyList_GET_SIZE(object));
            return object;
        };
        PyObject* outer = list_of(state, 0);
        for (uint32_t a = 0; a < shape[0]; ++a) {
            PyObject* middle = list_of(PyList_GET_ITEM(outer, a), 1);
            for (uint32_t b = 0; b < shape[1]; ++b) {
                PyObject* inner = list_of(PyList_GET_ITEM(middle, b), 2);
                for (uint32_t c = 0; c < shape[2]; ++c) {
                    PyObject* value = PyList_GET_ITEM(inner, c);
                    if (value != Py_True && value != Py_False)
                        throw nb::type_error("request state: expected nested lists of bool");
                    out[k++] = value == Py_True;
                }
            }
        }
    }

    static nb::list float_list(const float* data, uint32_t count) {
        PyObject* list = PyList_New(count);
        if (!list) throw nb::python_error();
        for (uint32_t i = 0; i < count; ++i) {
            PyObject* number = PyFloat_FromDouble(data[i]);
            if (!number) {
                Py_DECREF(list);
                throw nb::python_error();
            }
            PyList_SET_ITEM(list, i, number);
        }
        return nb::steal<nb::list>(list);
    }

    void* base_ = nullptr;
    int fd_;
    size_t size_;
    pid_t creator_pid_;
    uint32_t slots_, dim_, rep_, lanes_;  // the header's, as checked when the block was made or attached
    uint32_t lane_ = 0;                   // the lane this process serves, once serving_
    bool serving_ = false;
    int64_t next_turn_ = 0;  // the service's: the slot a capped batch starts looking from
    zelmor_channel::ReplyTable table_{nullptr, 0, 0, 0, 0, nullptr};  // in the block; writes are the service's
};

// The objects the engine is handed as its inference queue and its pipe: one slot, one network front.
struct SlotQueue {
    nb::object channel;  // keeps the mapping alive
    uint32_t slot;
    uint32_t front;
    void put(nb::handle request) { nb::cast<Channel&>(channel).put(slot, front, request); }
};

// Once a reply has failed to come, the service is given up for good: every later recv raises the same
// error at once (a slot still holding a request cannot take a new one).
struct SlotPipe {
    nb::object channel;
    uint32_t slot;
    double timeout;
    std::string failure;
    bool timed_out = false;

    nb::tuple recv() {
        Channel& c = nb::cast<Channel&>(channel);
        wait(c);
        return c.take_reply(slot);
    }

    // Returns once the reply is in the slot; raises TimeoutError or ConnectionError when it will not come.
    void wait(Channel& c) {
        if (failure.empty()) {
            failure = c.await_reply(slot, timeout);
            timed_out = failure.rfind("no reply", 0) == 0;
        }
        if (failure.empty()) return;
        PyErr_SetString(timed_out ? PyExc_TimeoutError : PyExc_ConnectionError, failure.c_str());
        throw nb::python_error();
    }
};

// Sets the Python exception that nanobind would raise for `error`.
void restore_as_python(const std::exception& error) {
    if (auto* python = dynamic_cast<const nb::python_error*>(&error)) {
        const_cast<nb::python_error*>(python)->restore();
        return;
    }
    PyObject* type = PyExc_RuntimeError;
    if (auto* builtin = dynamic_cast<const nb::builtin_exception*>(&error)) {
        switch (builtin->type()) {
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            default: break;
        }
    }
    PyErr_SetString(type, error.what());
}

int fast_put(PyObject* queue, int32_t id, const uint8_t* planes, uint32_t dim, uint32_t rep) noexcept {
    try {
        SlotQueue& q = *nb::inst_ptr<SlotQueue>(queue);
        Channel& c = nb::cast<Channel&>(q.channel);
        if (c.dim() != dim || c.rep() != rep) return 1;
        c.put_bytes(q.slot, q.front, id, planes);
        return 0;
    } catch (const std::exception& error) {
        restore_as_python(error);
        return -1;
    }
}

int fast_recv(PyObject* pipe, float* policy, float* values) noexcept {
    try {
        SlotPipe& p = *nb::inst_ptr<SlotPipe>(pipe);
        Channel& c = nb::cast<Channel&>(p.channel);
        p.wait(c);
        c.copy_reply(p.slot, policy, values);
        return 0;
    } catch (const std::exception& error) {
        restore_as_python(error);
        return -1;
    }
}

template <class T>
nb::ndarray<nb::numpy, T> view(Channel& channel, T* data, std::initializer_list<size_t> shape) {
    return nb::ndarray<nb::numpy, T>(data, shape, nb::find(&channel));
}

}  // namespace

NB_MODULE(_channel, m) {
    m.doc() = "Shared-memory request/reply slots between self-play workers and the inference service.";
    nb::class_<SlotQueue>(m, "SlotQueue").def("put", &SlotQueue::put, nb::arg("request"));
    nb::class_<SlotPipe>(m, "SlotPipe")
        .def("recv", &SlotPipe::recv)
        .def_prop_ro(
            "failure",
            [](const SlotPipe& p) -> nb::object {
                if (p.failure.empty()) return nb::none();
                return nb::str(p.failure.c_str());
            },
            "Why the service was given up, or None while it answers.");
    nb::class_<Channel>(m, "Channel")
        .def_static("create", &Channel::create, nb::arg("slots"), nb::arg("dim"), nb::arg("rep"),
                    nb::arg("cache_bytes") = 0, nb::arg("lanes") = 1, nb::rv_policy::take_ownership)
        .def_static("attach", &Channel::attach, nb::arg("path"), nb::rv_policy::take_ownership)
        .def_prop_ro("path", &Channel::path)
        .def_prop_ro("slots", &Channel::slots)
        .def_prop_ro("dim", &Channel::dim)
        .def_prop_ro("rep", &Channel::rep)
        .def_prop_ro("lanes", &Channel::lanes)
        .def("serve", &Channel::serve, nb::arg("lane") = 0)
        .def_prop_ro("cache_hits", &Channel::cache_hits, "Requests answered from the reply table so far.")
        .def_prop_ro("served_hits", &Channel::served_hits,
                     "Requests of the served lane's workers answered from the reply table so far.")
        .def_prop_ro("cache_capacity", &Channel::cache_capacity, "How many replies the reply table holds at most.")
        .def("wait_batch", &Channel::wait_batch, nb::arg("gather"), nb::arg("timeout"), nb::arg("max_batch") = 0)
        .def("complete", &Channel::complete, nb::arg("slots"), nb::arg("logits"))
        .def("close", &Channel::close_channel)
        .def("service_trouble", &Channel::service_trouble, nb::arg("slot") = 0,
             "Why the service of `slot` can no longer answer (closed, or its process gone); empty while it can.")
        .def("worker_id", &Channel::worker_id, nb::arg("slot"))
        .def(
            "queue",
            [](nb::object self, uint32_t slot, uint32_t front) {
                if (front >= kFronts) throw nb::value_error("front must be 0 (the model) or 1 (the baseline)");
                return SlotQueue{self, slot, front};
            },
            nb::arg("slot"), nb::arg("front") = 0, "The inference queue of one worker slot for one network.")
        .def(
            "pipe",
            [](nb::object self, uint32_t slot, double timeout) {
                return SlotPipe{self, slot, checked_seconds(timeout, "timeout"), {}, false};
            },
            nb::arg("slot"), nb::arg("timeout"), "The pipe of one worker slot; recv() waits at most `timeout` s.")
        .def("requests", [](Channel& c) {
            const size_t d = c.dim();
            return c.rep() == 1 ? view<uint8_t>(c, c.requests(), {c.slots(), kPlanes, d, d})
                                : view<uint8_t>(c, c.requests(), {c.slots(), d, d, kPlanes});
        });

    static zelmor_channel::FastPath fast_path{reinterpret_cast<PyTypeObject*>(nb::type<SlotQueue>().ptr()),
                                              reinterpret_cast<PyTypeObject*>(nb::type<SlotPipe>().ptr()), fast_put,
                                              fast_recv};
    m.attr("_fast_path") = nb::capsule(&fast_path, zelmor_channel::kFastPathCapsule);
}
