"""The training loop: a generation end to end with real processes, resuming after a crash without losing
or repeating games, the time budget, and the loop's refusals."""

from __future__ import annotations

import dataclasses
import json
import multiprocessing

import pytest

from zelmor_lab import Game
from zelmor_lab.errors import WriteError
from zelmor_lab.loop import generations as loop_module
from zelmor_lab.loop import strength as strength
from zelmor_lab.loop.generations import LoopDirectory, LoopState, count_games, run_loop
from zelmor_lab.loop.plan import LoopError, LoopPlan, load_plan
from zelmor_lab.loop.records import GenerationRecord, best_generation, plot_summary, results_table
from zelmor_lab.loop.strength import Strength, StrengthError, measure_strength, seat_rounds
from zelmor_lab.play.match import SEATS
from zelmor_lab.play.payoffs import PayoffSummary
from zelmor_lab.runs.store import RunError, RunWriter, read_games, session_record
from zelmor_lab.selfplay.settings import Settings
from zelmor_lab.training.dataset import load_window
from zelmor_lab.training.model import Architecture, load_checkpoint
from zelmor_lab.training.network import Network
from zelmor_lab.training.train import TrainingSettings, read_metrics

TINY_PLAN = LoopPlan(
    engine=Settings(dim=20, sims_per_move=1, sample_moves=10, workers=1, flush_every=1),
    architecture=Architecture(blocks=1, channels=4, value_hidden=8),
    training=TrainingSettings(batch_size=16, window=10, log_every=5),
    games_per_generation=4,
    steps_per_generation=10,
    random_games=3,
    search_games=2,
    baseline_games=2,
    warmup_games=0,
    eval_sims=2,
    eval_processes=1,  # each process would start PyTorch: the tests' evaluations are played in one
)


class TrainingCrash(Exception):
    pass


def first_legal_game() -> tuple[list, list, list]:
    """A whole game in which every player takes its smallest legal tile, as a training record."""
    game, policies = Game(20), []
    while not game.is_terminal():
        tile = game.legal_tiles()[0]
        policies.append([(tile, 1.0)])
        game.apply(tile)
    return game.history, policies, game.payoff()


def test_generation_survives_a_crash_and_ends_evaluated(tmp_path, monkeypatch):
    """Network 0 is evaluated; two games of generation 0 are stored by a session that was then killed; the
    next session plays only the two missing games and crashes in training; the last one trains on the
    four games, makes network 1 and evaluates it against random players and against network 0."""
    run = tmp_path / "run"
    directory = LoopDirectory(run)
    records = []
    state = run_loop(run, generations=0, plan=TINY_PLAN, on_record=records.append)
    assert (state.generation, len(state.records)) == (0, 1)
    assert records == state.records and records[0].vs_random.games == 3

    network0 = Network.load(run, directory.network_name(0), 20)
    with RunWriter(run, 20, session_record("killed", {}, network0.record()), 1) as writer:
        for _ in range(2):
            history, policies, payoff = first_legal_game()
            writer.add(0, history, policies, payoff, network0.digest, 0.0)
    assert count_games(run, network0.digest).games == 2

    def crash(*args, **kwargs):
        raise TrainingCrash()

    monkeypatch.setattr(loop_module, "train_on_window", crash)
    with pytest.raises(TrainingCrash):
        run_loop(run, generations=1)
    assert count_games(run, network0.digest).games == 4
    monkeypatch.undo()

    state = run_loop(run, generations=1, on_record=records.append)
    assert state.generation == 1 and len(state.records) == 2 and records[-1] == state.records[-1]
    assert LoopState.read(directory.state_path).records == state.records
    games = list(read_games(run))
    assert len(games) == 4 and {g.model for g in games} == {network0.digest}
    assert sum(g.worker == 0 and g.history == games[0].history for g in games) >= 2, "the stored games stay"

    network1 = load_checkpoint(run / directory.network_name(1), dim=20, architecture=TINY_PLAN.architecture)
    record = state.records[1]
    assert record.step == network1.step == 10
    assert record.model == network1.digest
    assert (record.games, record.window_games) == (4, 4)
    assert record.positions == record.window_positions == sum(len(g.history) for g in games)
    assert record.vs_random.games == 3 and record.vs_previous.games == 2
    assert record.search_vs_random.games == record.vs_heuristic.games == 2
    assert record.greedy_vs_heuristic.games == 3
    assert record.training["step"] == 10 and record.training["generation"] == 0
    assert record.unseen.keys() == {
        "loss",
        "policy_loss",
        "value_loss",
        "policy_top1",
        "value_error",
        "squares_loss",
        "squares_error",
    }
    assert [line["step"] for line in read_metrics(directory.trainer_files.metrics)] == [5, 10]
    assert directory.summary_png.read_bytes()[:4] == b"\x89PNG"
    assert directory.results_md.read_text().splitlines()[3].startswith("| 1 | ")
    best = best_generation(state.records)
    assert directory.best_path.read_bytes() == (run / directory.network_name(best)).read_bytes()

    # The loop is at its generation limit: running it again changes nothing.
    assert run_loop(run, generations=1).records == state.records


def test_strength_matches_every_few_networks_against_the_one_measured_before(tmp_path):
    """With eval_every 2 and a limit of 3 generations, networks 0, 2 and 3 (the last) play the matches,
    network 2 against network 0; network 1 only plays and trains, and is never the best."""
    matched = []

    class Recording(loop_module.LocalJobs):
        def measure_strength(self, plan, network, previous, progress):
            matched.append((network.path, previous and previous.path))
            return super().measure_strength(plan, network, previous, progress)

    run = tmp_path / "run"
    names = [LoopDirectory.network_name(g) for g in range(4)]
    plan = dataclasses.replace(TINY_PLAN, eval_every=2)
    state = run_loop(run, generations=3, plan=plan, jobs=Recording(run))
    assert matched == [(names[0], None), (names[2], names[0]), (names[3], names[2])]
    assert [r.vs_random is not None for r in state.records] == [True, False, True, True]
    assert state.records[1].eval_s == 0.0 and best_generation(state.records) != 1
    assert results_table(state.records).splitlines()[3].endswith("| - | - | - | - | - |")
    assert LoopPlan.from_dict({k: v for k, v in plan.as_dict().items() if k != "eval_every"}).eval_every == 1
    # The summary's floor, random play against heuristic players in the same seats, is played once per loop.
    assert json.loads((run / "loop" / "random-baseline.json").read_text())["games"] == plan.random_games


def test_the_first_generations_train_on_the_warm_starts_games_too(tmp_path):
    """Until the run holds a window of its own games, the warm start's games fill it, before the run's."""
    plan = dataclasses.replace(TINY_PLAN, warmup_games=3, warmup_steps=1)
    with RunWriter(tmp_path, 20, session_record("test", {}, {}), 1) as writer:
        history, policies, payoff = first_legal_game()
        writer.add(0, history, policies, payoff, "hand-made", 0.0)
    window, own = loop_module._training_window(plan, tmp_path), load_window(tmp_path, 10)
    assert window.games == 4 and window.planes[-own.positions :].tobytes() == own.planes.tobytes()
    full = dataclasses.replace(plan, training=dataclasses.replace(plan.training, window=1))
    assert loop_module._training_window(full, tmp_path).games == 1


def write_loop(run, last_generation_s: float) -> LoopState:
    """A started loop whose network 0 is recorded as evaluated in ``last_generation_s`` seconds."""
    directory = LoopDirectory(run)
    state = loop_module._start(directory, TINY_PLAN, minutes=None)
    loop_module._warm_start(directory, state, deadline=float("inf"), progress=False)
    network = Network.load(run, directory.network_name(0), 20)
    summary = PayoffSummary(3, 0.25, 0.1)
    evaluation = Strength(summary, summary, summary, summary, None)
    record = GenerationRecord.first(network, evaluation, last_generation_s)
    state.records.append(record)
    directory.write_state(state)
    return state


def test_the_warm_start_is_saved_resumes_after_ctrl_c_and_keeps_to_its_share_of_the_time(tmp_path, monkeypatch):
    plan = dataclasses.replace(
        TINY_PLAN, warmup_games=2, warmup_steps=6, training=dataclasses.replace(TINY_PLAN.training, log_every=1)
    )
    run, directory = tmp_path / "run", LoopDirectory(tmp_path / "run")
    train_step = loop_module.Trainer.train_step

    def ctrl_c_at_step_3(trainer, batch):
        if trainer.step == 3:
            raise KeyboardInterrupt
        return train_step(trainer, batch)

    monkeypatch.setattr(loop_module.Trainer, "train_step", ctrl_c_at_step_3)
    with pytest.raises(KeyboardInterrupt):
        run_loop(run, generations=0, plan=plan)
    monkeypatch.undo()
    stopped = LoopState.read(directory.state_path)
    assert stopped.elapsed_s > 0 and stopped.records == [], "the warm start counts in the loop's time"
    assert loop_module.resume_training(directory.trainer_files, 20, plan.training).step == 3
    assert not (run / directory.network_name(0)).exists()

    state = run_loop(run, generations=0)
    assert Network.load(run, directory.network_name(0), 20).step == 6 and len(state.records) == 1
    lines = read_metrics(directory.trainer_files.metrics)
    assert [line["step"] for line in lines] == [1, 2, 3, 4, 5, 6], "no step lost or taken twice"
    assert all(line["warm_start"] for line in lines)
    assert state.elapsed_s > stopped.elapsed_s

    # With no share of the session's minutes, network 0 is the seeded first network, the same every time.
    quick = dataclasses.replace(plan, warmup_share=0.0)
    first, second = (run_loop(tmp_path / name, generations=0, minutes=5, plan=quick) for name in ("a", "b"))
    weights = [
        load_checkpoint(tmp_path / name / LoopDirectory.network_name(0)).model.state_dict() for name in ("a", "b")
    ]
    assert first.records[0].step == 0 and all(weights[0][k].equal(weights[1][k]) for k in weights[0])
    assert first.warm_start_budget_s == 0.0

    older = plan.as_dict()
    del older["warmup_games"], older["warmup_steps"], older["engine"]["max_batch"]
    assert (LoopPlan.from_dict(older).warmup_games, LoopPlan.from_dict(older).warmup_steps) == (0, 0)
    assert LoopPlan.from_dict(older).engine.max_batch == plan.engine.workers, "every worker in one batch, as before"
    with pytest.raises(LoopError, match=r"^loop setting warmup_steps must be a whole number, got -1$"):
        dataclasses.replace(plan, warmup_steps=-1)
    with pytest.raises(LoopError, match=r"^loop setting warmup_share must be between 0 and 1, got 1.5$"):
        dataclasses.replace(plan, warmup_share=1.5)


class TestRefusals:
    def test_no_generation_starts_that_would_overrun_the_budget(self, tmp_path):
        state = write_loop(tmp_path / "run", last_generation_s=120.0)
        assert run_loop(tmp_path / "run", minutes=1.0).records == state.records

    def test_other_settings_for_a_running_loop(self, tmp_path):
        write_loop(tmp_path / "run", 1.0)
        with pytest.raises(
            LoopError,
            match=r"^.*/run/loop holds a loop with other settings \(.*engine\.sims_per_move: given 96, the loop's "
            r"\d+.*\); continue it without new settings or choose another run$",
        ):
            run_loop(tmp_path / "run", plan=LoopPlan())
        other_seed = dataclasses.replace(TINY_PLAN, seed=TINY_PLAN.seed + 1)
        with pytest.raises(LoopError, match=rf"other settings \(seed: given {TINY_PLAN.seed + 1}, the loop's "):
            run_loop(tmp_path / "run", plan=other_seed)

    def test_damaged_state(self, tmp_path):
        write_loop(tmp_path / "run", 1.0)
        state_path = LoopDirectory(tmp_path / "run").state_path
        values = json.loads(state_path.read_text())
        values["plan"]["games_per_generation"] = 0
        state_path.write_text(json.dumps(values))
        with pytest.raises(
            LoopError,
            match=r"loop\.json is damaged: loop setting games_per_generation must be a "
            r"positive integer, got 0$",
        ):
            run_loop(tmp_path / "run")

    def test_directory_that_is_not_a_run_is_left_alone_before_the_warm_start(self, tmp_path, monkeypatch):
        monkeypatch.setattr(loop_module, "warmup_window", lambda *args, **kwargs: pytest.fail("warm start ran"))
        (tmp_path / "notes.txt").write_text("mine")
        with pytest.raises(RunError, match=r"is not a zelmor-lab run \(no run\.json\) and is not empty$"):
            run_loop(tmp_path, plan=dataclasses.replace(TINY_PLAN, warmup_games=2, warmup_steps=3))
        assert sorted(p.name for p in tmp_path.iterdir()) == ["notes.txt"]

    def test_second_loop_on_the_same_run(self, tmp_path):
        write_loop(tmp_path / "run", 1.0)
        with LoopDirectory(tmp_path / "run").locked():
            with pytest.raises(LoopError, match=r"/run/loop is in use by another zelmor-lab loop$"):
                run_loop(tmp_path / "run")


def test_a_summary_that_cannot_be_drawn_is_named(tmp_path):
    with pytest.raises(WriteError) as error:
        plot_summary([], tmp_path / "absent" / "summary.png")
    assert str(error.value) == f"cannot write {tmp_path / 'absent' / 'summary.png'}: No such file or directory"


def stored_record(**values) -> GenerationRecord:
    """A record as loop.json holds it, what a test does not name set plainly; figures left out are those
    of loops from before they were measured."""
    plain = {
        "generation": 0,
        "model": "0" * 16,
        "step": 0,
        "games": 0,
        "positions": 0,
        "window_games": 0,
        "window_positions": 0,
        "selfplay_s": 0.0,
        "train_s": 0.0,
        "eval_s": 0.0,
        "elapsed_s": 0.0,
        "vs_random": None,
        "vs_previous": None,
        "training": None,
        "unseen": None,
    }
    return GenerationRecord.from_dict({**plain, **values})


def test_results_table_rows_of_older_and_newer_records():
    records = [
        {
            "generation": 0,
            "elapsed_s": 30.0,
            "games": 0,
            "positions": 0,
            "step": 0,
            "vs_random": {"games": 100, "mean": 0.2512, "half_width": 0.081},
            "vs_previous": None,
        },
        {
            "generation": 1,
            "elapsed_s": 330.0,
            "games": 48,
            "positions": 12000,
            "step": 300,
            "vs_random": {"games": 100, "mean": 0.4, "half_width": 0.09},
            "search_vs_random": {"games": 100, "mean": 0.6, "half_width": 0.09},
            "vs_heuristic": {"games": 100, "mean": 0.2, "half_width": 0.07},
            "greedy_vs_heuristic": {"games": 400, "mean": 0.15, "half_width": 0.03},
            "vs_previous": {"games": 1, "mean": 1.0, "half_width": float("nan")},
        },
    ]
    records = [stored_record(**values) for values in records]
    assert results_table(records).splitlines()[2:] == [
        "| 0 | 0.5 | 0 | 0 | 0 | 0.25 ± 0.08 (100) | - | - | - | - |",
        "| 1 | 5.5 | 48 | 12000 | 300 | 0.40 ± 0.09 (100) | 0.60 ± 0.09 (100) | 0.15 ± 0.03 (400) | "
        "0.20 ± 0.07 (100) | 1.00 (1) |",
        "",
        "Best against heuristic players: generation 1 (loop/best.pt).",
    ]


def test_the_best_network_scores_highest_against_heuristic_players_and_ties_go_to_the_latest():
    def record(generation, mean, heuristic=None):
        summary = {"games": 100, "mean": mean, "half_width": 0.09}
        values = {"generation": generation, "vs_random": summary}
        if heuristic is not None:
            values["vs_heuristic"] = {**summary, "mean": heuristic}
        return stored_record(**values)

    assert best_generation([record(0, 0.3), record(1, 0.55), record(2, 0.41)]) == 1
    assert best_generation([record(0, 0.3), record(1, 0.5), record(2, 0.5)]) == 2
    # Once the records measure against heuristic players, that figure decides, not the greedy one.
    assert best_generation([record(0, 0.3), record(1, 0.9, 0.2), record(2, 0.5, 0.31), record(3, 0.6, 0.3)]) == 2


class TestEvaluationInProcesses:
    def test_shares_keep_the_seats_of_one_process(self):
        for processes in range(1, 6):
            for games in range(0, 30):
                shares = seat_rounds(games, processes)
                assert sum(shares) == games and all(share % SEATS == 0 for share in shares[:-1])
                assert max(shares[:-1], default=0) - min(shares[:-1], default=0) <= SEATS
                seats = sorted(i % SEATS for share in shares for i in range(share))
                assert seats == sorted(i % SEATS for i in range(games))

    def test_every_figure_has_its_games(self, tmp_path):
        """Network 0 and then network 1 against it, each figure split unevenly: 9 games in shares of 4 and
        5, 2 in shares of 0 and 2."""
        plan = dataclasses.replace(TINY_PLAN, random_games=9, search_games=2, baseline_games=5, eval_processes=2)
        run = tmp_path / "run"
        state = run_loop(run, generations=1, plan=plan)
        for record in state.records:
            assert (record.vs_random.games, record.greedy_vs_heuristic.games) == (9, 9)
            assert (record.search_vs_random.games, record.vs_heuristic.games) == (2, 2)
            assert all(0.0 <= summary.mean <= 1.0 for summary in (record.vs_random, record.vs_heuristic))
        assert state.records[1].vs_previous.games == 5
        assert multiprocessing.active_children() == []

    def test_a_failing_process_is_one_error_and_leaves_no_process(self, tmp_path):
        broken = Network("loop/gen-0000.pt", b"not a checkpoint", "0" * 16, 0)
        plan = dataclasses.replace(TINY_PLAN, eval_processes=2)
        with pytest.raises(StrengthError, match=r"^evaluation process [01] failed:\n") as failure:
            measure_strength(plan, broken, None, progress=False)
        assert "loop/gen-0000.pt" in str(failure.value)
        assert multiprocessing.active_children() == []

    def test_ctrl_c_leaves_no_process(self, tmp_path):
        run = tmp_path / "run"
        run_loop(run, generations=0, plan=TINY_PLAN)
        network = Network.load(run, LoopDirectory.network_name(0), 20)
        plan = dataclasses.replace(TINY_PLAN, random_games=40, eval_processes=2)
        figure = strength._Figure("vs_random", 40, "greedy", "random")
        networks = strength._Networks(plan, network, None, None)

        def interrupt():
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            strength._play_in_processes(networks, [figure], 2, on_game=interrupt)
        assert multiprocessing.active_children() == []


def test_loop_command_line_flags(tmp_path, capsys):
    from zelmor_lab.cli import build_parser

    parser = build_parser()
    args = parser.parse_args(["loop", str(tmp_path)])
    assert (args.generations, args.minutes) == (None, 60.0)
    args = parser.parse_args(["loop", str(tmp_path), "--generations", "3", "--minutes", "2.5"])
    assert (args.generations, args.minutes) == (3, 2.5)
    for flag, value, message in (
        ("--minutes", "0", "must be greater than 0, got 0"),
        ("--minutes", "nan", "must be greater than 0, got nan"),
        ("--generations", "0", "must be at least 1, got 0"),
        ("--full-search-share", "0", "must be greater than 0 and at most 1, got 0"),
        ("--full-search-share", "nan", "must be greater than 0 and at most 1, got nan"),
        ("--fast-sims", "0", "must be at least 1, got 0"),
    ):
        with pytest.raises(SystemExit):
            parser.parse_args(["loop", str(tmp_path), flag, value])
        assert f"argument {flag}: {message}" in capsys.readouterr().err
    # The help is written apart from the plan, which it must not contradict.
    with pytest.raises(SystemExit):
        parser.parse_args(["loop", "--help"])
    words = " ".join(capsys.readouterr().out.split())
    search = LoopPlan().engine
    assert f"(default: {search.sims_per_move})" in words and f"default {search.full_search_share})" in words


class TestPlanFromTheCommandLine:
    def test_file_then_flags(self, tmp_path):
        config = tmp_path / "plan.toml"
        config.write_text(
            "games_per_generation = 8\nseed = 4\n[engine]\ndim = 10\nsims_per_move = 16\n"
            "[architecture]\nblocks = 1\n[training]\nwindow = 100\n"
        )
        plan = load_plan(config, sims=24, seed=9)
        assert (plan.games_per_generation, plan.seed, plan.engine.dim, plan.engine.sims_per_move) == (8, 9, 10, 24)
        assert (plan.architecture.blocks, plan.training.window) == (1, 100)
        assert plan.architecture.channels == LoopPlan().architecture.channels
        assert load_plan(dim=12).engine.dim == 12 and load_plan() == LoopPlan()
        fast = load_plan(config, full_search_share=0.25, fast_sims=4).engine
        assert (fast.full_search_share, fast.fast_sims, fast.sims_per_move) == (0.25, 4, 16)

    @pytest.mark.parametrize(
        "text,message",
        [
            ("gamez = 8\n", "no loop setting is called 'gamez'"),
            ("[engine]\nsimz = 8\n", "[engine] has no setting called 'simz'"),
            ("engine = 3\n", "engine must be a table of settings"),
            ("[engine]\ndim = 99\n", "setting dim must be between 4 and 32, got 99"),
            ("warmup_heuristic_share = 2.0\n", "loop setting warmup_heuristic_share must be between 0 and 1, got 2.0"),
        ],
    )
    def test_a_bad_plan_is_one_message_and_exit_code_2(self, tmp_path, capsys, text, message):
        from zelmor_lab.cli import main

        config = tmp_path / "plan.toml"
        config.write_text(text)
        assert main(["loop", str(tmp_path / "run"), "--config", str(config)]) == 2
        err = capsys.readouterr().err
        assert len(err.splitlines()) == 1 and message in err and not (tmp_path / "run").exists()
