"""Heuristic play-outs as value targets: where they start, whose seat they are seen from, and that a game's
play-outs are played once and agree across the windows that hold it."""

from __future__ import annotations

import numpy as np
import pytest

from zelmor_lab import Game, heuristic_tiles
from zelmor_lab.loop.warm_start import warmup_window
from zelmor_lab.training import playouts
from zelmor_lab.training.dataset import WindowBuilder
from zelmor_lab.training.playouts import PlayoutTeacher

DIM = 7


def window_of(games: list[Game]):
    builder = WindowBuilder(DIM)
    for game in games:
        players = np.array([p for p, _ in game.history], dtype=np.int64)
        tiles = np.array([t for _, t in game.history], dtype=np.int64)
        planes = np.zeros((len(players), (5 * DIM * DIM + 7) // 8), dtype=np.uint8)  # not read here
        builder.add_game(planes, players, tiles, np.asarray(game.payoff()))
    counts = sum(len(g.history) for g in games)
    return builder.build(np.zeros(counts + 1, dtype=np.int64), np.zeros(0, np.int64), np.zeros(0, np.float32))


def first_legal_game() -> Game:
    game = Game(DIM)
    while not game.is_terminal():
        game.apply(game.legal_tiles()[0])
    return game


@pytest.fixture
def calls(monkeypatch):
    """The history length of every game the teacher's heuristic player is asked about, by play-out."""
    seen: list[list[int]] = []

    def spy(game: Game) -> list[int]:
        if not seen or seen[-1][-1] >= len(game.history):
            seen.append([])
        seen[-1].append(len(game.history))
        return heuristic_tiles(game)

    monkeypatch.setattr(playouts, "heuristic_tiles", spy)
    return seen


def test_each_turn_start_is_played_out_once_from_the_position_before_its_action(calls):
    game = first_legal_game()
    window = window_of([game])
    teacher = PlayoutTeacher()
    starts, payoffs = teacher.turn_start_payoffs(window)
    assert [playout[0] for playout in calls] == starts.tolist()
    assert all(playout == list(range(playout[0], playout[0] + len(playout))) for playout in calls)
    assert np.allclose(payoffs.sum(1), 1.0)

    calls.clear()
    again = teacher.turn_start_payoffs(window_of([first_legal_game()]))
    assert calls == [], "a game seen before is not played out again"
    assert np.array_equal(again[1], payoffs)


def test_mixed_targets_are_seen_from_the_player_to_act_and_agree_across_windows():
    game = first_legal_game()
    alone = window_of([game])
    behind = window_of([game]).after(warmup_window(games=2, dim=DIM, seed=3))
    starts, payoffs = PlayoutTeacher().turn_start_payoffs(alone)
    mixed = PlayoutTeacher().mixed_targets(alone, 0.5)
    turn = np.searchsorted(starts, np.arange(alone.positions), side="right") - 1
    for i, player in enumerate(alone.position_player.tolist()):
        absolute = [mixed[i][(k - player) % 4] for k in range(4)]
        assert absolute == pytest.approx(0.5 * np.asarray(game.payoff()) + 0.5 * payoffs[turn[i]]), i
    shifted = PlayoutTeacher().mixed_targets(behind, 0.5)
    assert np.array_equal(shifted[behind.positions - alone.positions :], mixed)
