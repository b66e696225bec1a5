// Speed of the rules library on a 20 x 20 board, single thread, through the C++ API: random whole games,
// move generation and game copies over positions met in random games. Every action is a uniformly random
// legal tile drawn from a generator seeded from std::random_device, so runs differ slightly.
//
// Usage: rules_bench [seconds]   (time spent playing random games; the other phases scale with it)
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "game.hpp"

using namespace zelmor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kDim = 20;

// splitmix64: tiny and fast; statistical quality is irrelevant for picking among a few dozen tiles.
class Rng {
public:
    Rng() {
        std::random_device entropy;
        state_ = (uint64_t{entropy()} << 32) | entropy();
    }
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(((next() >> 32) * n) >> 32); }

private:
    uint64_t state_;
};

Rng& thread_rng() {
    thread_local Rng rng;
    return rng;
}

// A uniformly random legal tile of a game that is not terminal.
uint32_t random_legal_tile(const Game& game) {
    std::array<uint16_t, kMaxCells> tiles;
    uint32_t count = 0;
    game.legal_set().for_each([&](uint32_t t) { tiles[count++] = static_cast<uint16_t>(t); });
    return tiles[thread_rng().below(count)];
}

template <class T>
void keep(T& value) {
    asm volatile("" : : "g"(&value) : "memory");
}

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU time of this thread: on a shared machine it leaves out the time other processes held the core.
double thread_cpu_seconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + now.tv_nsec * 1e-9;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double percentile(std::vector<double> values, double q) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[static_cast<size_t>(q * (values.size() - 1))];
}

// Plays one random game to the end; calls at_position(game) before every action.
template <class AtPosition>
uint64_t play_random_game(AtPosition&& at_position) {
    Game game(kDim);
    uint64_t actions = 0;
    while (!game.is_terminal()) {
        at_position(game);
        if (game.apply(random_legal_tile(game))) {
            std::fprintf(stderr, "a legal tile was rejected\n");
            std::exit(1);
        }
        ++actions;
    }
    return actions;
}

void bench_games(double budget_s) {
    uint64_t games = 0, actions = 0;
    const auto start = Clock::now();
    const double cpu_start = thread_cpu_seconds();
    while (seconds_since(start) < budget_s) {
        actions += play_random_game([](const Game&) {});
        ++games;
    }
    const double elapsed = seconds_since(start), cpu = thread_cpu_seconds() - cpu_start;
    std::printf("random games:      %.0f games/s (%.0f per CPU second), %.1f actions/game (%llu games in %.2f s)\n",
                games / elapsed, games / cpu, double(actions) / games, static_cast<unsigned long long>(games), elapsed);
}

// One get_tile_moves call per turn start met in random games, each timed on its own. The map is refilled
// in place, as the game does at a hand-over of the turn.
void bench_movegen(uint32_t games) {
    std::vector<double> micros;
    TileMoves moves;
    for (uint32_t g = 0; g < games; ++g) {
        play_random_game([&](const Game& game) {
            if (!game.turn_tiles().empty()) return;
            const auto start = Clock::now();
            get_tile_moves(game.board(), game.current_player(), moves);
            const double elapsed = seconds_since(start);
            keep(moves);
            micros.push_back(elapsed * 1e6);
        });
    }
    std::printf("move generation:   median %.2f us, p90 %.2f us per call (%zu turn starts)\n", median(micros),
                percentile(micros, 0.9), micros.size());
}

// Copies are far below the clock's resolution, so each position is copied kRepeats times per timing.
void bench_copy(uint32_t games) {
    constexpr int kRepeats = 64;
    std::vector<double> construct_ns, assign_ns;
    Game target(kDim);
    for (uint32_t g = 0; g < games; ++g) {
        play_random_game([&](const Game& game) {
            auto start = Clock::now();
            for (int i = 0; i < kRepeats; ++i) {
                Game copy(game);
                keep(copy);
            }
            construct_ns.push_back(seconds_since(start) * 1e9 / kRepeats);

            start = Clock::now();
            for (int i = 0; i < kRepeats; ++i) {
                target.assign_position(game);
                keep(target);
            }
            assign_ns.push_back(seconds_since(start) * 1e9 / kRepeats);
        });
    }
    std::printf("copy constructor:  median %.0f ns, p90 %.0f ns (%zu positions)\n", median(construct_ns),
                percentile(construct_ns, 0.9), construct_ns.size());
    std::printf("assign_position:   median %.0f ns, p90 %.0f ns\n", median(assign_ns), percentile(assign_ns, 0.9));
}

}  // namespace

int main(int argc, char** argv) {
    const double budget_s = argc > 1 ? std::atof(argv[1]) : 3.0;
    if (!(budget_s > 0)) {
        std::fprintf(stderr, "usage: rules_bench [seconds > 0]\n");
        return 2;
    }
    const uint32_t sample_games = std::max(20u, static_cast<uint32_t>(budget_s * 100));
    std::printf("rules benchmark, %u x %u board, one thread\n", kDim, kDim);
    bench_games(budget_s);
    bench_movegen(sample_games);
    bench_copy(sample_games / 4 + 1);
    return 0;
}
