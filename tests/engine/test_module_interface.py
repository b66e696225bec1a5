"""The module's Python surface: functions, signatures, argument errors, `id`, reading the settings object,
and the class of fatal errors."""

import importlib
import inspect
import math
import operator
import sys
import textwrap
import types

import numpy as np
import pytest

import zelmor_self_play
from engine_helpers import run_python, unwrap_message
from stand_ins import (
    CONFIG_FIELDS,
    PAYOFF_SHARES,
    ResultQueue,
    Service,
    make_config,
    run_against_random,
    run_training_game,
    uniform_network,
)
from zelmor_lab import Game

FUNCTIONS = ("play_training_game", "play_test_game", "play_test_against_random")
PARAMETERS = {
    "play_training_game": ("id", "config", "result_queue", "inference_queue", "pipe"),
    "play_test_game": ("id", "config", "result_queue", "model_queue", "baseline_queue", "pipe"),
    "play_test_against_random": ("id", "config", "result_queue", "inference_queue", "pipe"),
}


class Untouchable:
    """A queue, pipe or settings object that must not be used: any attribute read is recorded."""

    def __init__(self):
        object.__setattr__(self, "reads", [])

    def __getattribute__(self, name):
        if name == "reads":
            return object.__getattribute__(self, name)
        object.__getattribute__(self, "reads").append(name)
        raise AssertionError(f"attribute {name} read")


def call(name, *args, **kwargs):
    return getattr(zelmor_self_play, name)(*args, **kwargs)


def untouched_arguments(name):
    return [Untouchable() for _ in PARAMETERS[name]]


# ----------------------------------------------------------------------------------------------------------
# Surface


def test_module_holds_exactly_the_three_functions_in_order():
    public = [k for k in vars(zelmor_self_play) if not k.startswith("__")]
    assert public == list(FUNCTIONS)
    assert not zelmor_self_play.__doc__
    for name in FUNCTIONS:
        assert type(getattr(zelmor_self_play, name)) is types.BuiltinFunctionType


def test_signatures_and_doc_strings():
    for name, params in PARAMETERS.items():
        function = getattr(zelmor_self_play, name)
        assert function.__text_signature__ == "(" + ", ".join(params) + ")"
        signature = inspect.signature(function)
        assert tuple(signature.parameters) == params
        assert all(
            p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is p.empty
            for p in signature.parameters.values()
        )
    assert zelmor_self_play.play_training_game.__doc__ == "Works with Pytorch model to generate self-play data"
    assert zelmor_self_play.play_test_game.__doc__ is None
    assert zelmor_self_play.play_test_against_random.__doc__ is None


def test_initialising_again_returns_the_first_module():
    first = sys.modules.pop("zelmor_self_play")
    try:
        again = importlib.import_module("zelmor_self_play")
        assert again is first
    finally:
        sys.modules["zelmor_self_play"] = first


def test_import_into_a_second_interpreter_fails_with_import_error():
    script = textwrap.dedent("""
        import _xxsubinterpreters as interpreters
        import zelmor_self_play
        interp = interpreters.create()
        code = '''
        import os
        try:
            import zelmor_self_play
            os.write(1, b"imported")
        except ImportError:
            os.write(1, b"ImportError")
        '''
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)
    """)
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ImportError"


# ----------------------------------------------------------------------------------------------------------
# Argument errors: raised before anything is read or called


@pytest.mark.parametrize("name", FUNCTIONS)
def test_too_many_positional_arguments(name):
    args = untouched_arguments(name)
    n = len(args)
    with pytest.raises(TypeError) as e:
        call(name, *args, Untouchable())
    assert str(e.value) == f"{name}() takes {n} positional arguments but {n + 1} were given"
    assert all(not a.reads for a in args)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_argument_given_by_position_and_keyword(name):
    args = untouched_arguments(name)
    with pytest.raises(TypeError) as e:
        call(name, *args[:2], id=Untouchable())
    assert str(e.value) == f"{name}() got multiple values for argument 'id'"
    with pytest.raises(TypeError) as e:
        call(name, *args, pipe=Untouchable())
    assert str(e.value) == f"{name}() got multiple values for argument 'pipe'"
    assert all(not a.reads for a in args)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_unexpected_keyword(name):
    args = untouched_arguments(name)
    for keyword in ("queue", "pïpe", "id_"):
        with pytest.raises(TypeError) as e:
            call(name, *args, **{keyword: Untouchable()})
        assert str(e.value) == f"{name}() got an unexpected keyword argument '{keyword}'"
    assert all(not a.reads for a in args)


def play_training_game(id, config, result_queue, inference_queue, pipe):  # noqa: A002
    """The same parameters in Python, for the interpreter's own argument errors."""


def test_a_keyword_that_cannot_be_encoded_is_still_an_argument_error():
    keyword = "\udc80"  # a lone surrogate: a valid str, not valid UTF-8
    args = untouched_arguments("play_training_game")
    with pytest.raises(TypeError) as own:
        play_training_game(*args, **{keyword: 1})
    with pytest.raises(TypeError) as e:
        zelmor_self_play.play_training_game(*args, **{keyword: 1})
    assert str(e.value) == str(own.value) == "play_training_game() got an unexpected keyword argument '\udc80'"


def test_missing_arguments_are_listed_in_parameter_order():
    with pytest.raises(TypeError) as e:
        zelmor_self_play.play_test_game()
    assert str(e.value) == (
        "play_test_game() missing 6 required positional arguments: 'id', 'config', "
        "'result_queue', 'model_queue', 'baseline_queue', and 'pipe'"
    )
    args = untouched_arguments("play_training_game")
    with pytest.raises(TypeError) as e:
        zelmor_self_play.play_training_game(*args[:4])
    assert str(e.value) == "play_training_game() missing 1 required positional argument: 'pipe'"
    with pytest.raises(TypeError) as e:
        zelmor_self_play.play_test_against_random(*args[:3])
    assert str(e.value) == (
        "play_test_against_random() missing 2 required positional arguments: 'inference_queue' and 'pipe'"
    )
    with pytest.raises(TypeError) as e:
        zelmor_self_play.play_training_game(args[0], inference_queue=args[3])
    assert str(e.value) == (
        "play_training_game() missing 3 required positional arguments: 'config', 'result_queue', and 'pipe'"
    )
    assert all(not a.reads for a in args)


def test_keywords_behave_like_positions():
    config = make_config(dim=5)
    positional = run_against_random(config, uniform_network, worker=3)
    service, results = Service(uniform_network), ResultQueue()
    # Keyword names built at run time are not the interned strings of a call site.
    names = {
        "".join(reversed(k[::-1])): v
        for k, v in dict(
            pipe=service.pipe, inference_queue=service.inference_queue, result_queue=results, config=config, id=3
        ).items()
    }
    status = zelmor_self_play.play_test_against_random(**names)
    assert status == positional[0] == 0
    assert len(results.records) == 1 and results.records[0][0] == 3
    assert service.requests and all(r.worker == 3 for r in service.requests)


# ----------------------------------------------------------------------------------------------------------
# id


@pytest.mark.parametrize("bad", ["a", 1.0, None, [1]])
def test_id_of_the_wrong_kind(bad):
    args = untouched_arguments("play_training_game")
    with pytest.raises(TypeError) as e:
        zelmor_self_play.play_training_game(bad, *args[1:])
    with pytest.raises(TypeError) as own:  # the interpreter's own message for the failed conversion
        operator.index(bad)
    expected = str(own.value)
    assert str(e.value) == "argument 'id': " + expected
    assert e.value.__cause__ is None  # the conversion's error had none
    assert all(not a.reads for a in args)


def test_id_conversion_keeps_the_cause():
    root = ValueError("root cause")

    class BadIndex:
        def __index__(self):
            raise TypeError("no index today") from root

    args = untouched_arguments("play_test_game")
    with pytest.raises(TypeError) as e:
        zelmor_self_play.play_test_game(BadIndex(), *args[1:])
    assert str(e.value) == "argument 'id': no index today"
    assert e.value.__cause__ is root


@pytest.mark.parametrize("bad", [2**31, -(2**31) - 1, 2**64])
def test_id_outside_32_bits_overflows(bad):
    args = untouched_arguments("play_test_against_random")
    with pytest.raises(OverflowError):
        zelmor_self_play.play_test_against_random(bad, *args[1:])
    assert all(not a.reads for a in args)


@pytest.mark.parametrize("worker", [2**31 - 1, -(2**31), 0, True, np.int16(-7)])
def test_id_is_sent_with_every_request_and_result(worker):
    status, service, results = run_against_random(make_config(dim=5), uniform_network, worker=worker)
    assert status == 0
    assert {r.worker for r in service.requests} == {int(worker)}
    assert [type(r[0]) for r in results.records] == [int] and results.records[0][0] == int(worker)


# ----------------------------------------------------------------------------------------------------------
# Reading the settings object


class RecordingConfig:
    """Settings whose attribute reads are recorded in order."""

    def __init__(self, **fields):
        object.__setattr__(self, "log", [])
        object.__setattr__(self, "fields", fields)

    def __getattr__(self, name):
        object.__getattribute__(self, "log").append(name)
        fields = object.__getattribute__(self, "fields")
        if name not in fields:
            raise AttributeError(f"no setting {name}")
        return fields[name]


def unreadable_message(config, field):
    """The panic text for the error the interpreter raises reading `field` of `config`."""
    try:
        getattr(config, field)
    except BaseException as e:  # noqa: BLE001
        return unwrap_message(e, e.__traceback__.tb_next)  # without this frame, as the module sees it
    raise AssertionError(f"{field} is readable")


def assert_unreadable(config, panic_exception, expected_message):
    service, results = Service(uniform_network), ResultQueue()
    for name in FUNCTIONS:
        args = [7, config, results, service.inference_queue, service.pipe]
        if name == "play_test_game":
            args.insert(4, service.queue("baseline"))
        with pytest.raises(panic_exception) as e:
            call(name, *args)
        assert e.value.args == (expected_message,)
    assert not service.requests and not results.records


def test_settings_are_read_once_by_attribute_in_field_order():
    config = RecordingConfig(**vars(make_config(dim=5)), extra="ignored")
    service = Service(uniform_network)
    status = zelmor_self_play.play_test_against_random(1, config, ResultQueue(), service.inference_queue, service.pipe)
    assert status == 0
    assert config.log == list(CONFIG_FIELDS)


def test_a_dict_is_not_a_settings_object(panic_exception):
    config = dict(vars(make_config()))
    assert_unreadable(config, panic_exception, unreadable_message(config, "dim"))


def test_the_first_missing_field_is_named(panic_exception):
    fields = vars(make_config())
    for missing in (("dim", "rep"), ("rep",), ("exploration_fraction",)):
        config = RecordingConfig(**{k: v for k, v in fields.items() if k not in missing})
        expected = unreadable_message(RecordingConfig(), missing[0])
        assert_unreadable(config, panic_exception, expected)
        stop = CONFIG_FIELDS.index(missing[0])
        assert config.log == list(CONFIG_FIELDS[: stop + 1]) * len(FUNCTIONS)


def test_an_error_raised_by_python_code_carries_its_traceback(panic_exception):
    class Settings(types.SimpleNamespace):
        @property
        def c_base(self):
            raise RuntimeError('c_base is not "set"\tyet')

    config = Settings(**{k: v for k, v in vars(make_config()).items() if k != "c_base"})
    try:
        Settings.c_base.fget(config)
    except RuntimeError as e:
        error, tb = e, e.__traceback__.tb_next  # the property's own frame, as the module sees it
    expected = unwrap_message(error, tb)
    assert 'traceback: Some("Traceback (most recent call last):\\n' in expected
    assert_unreadable(config, panic_exception, expected)


@pytest.mark.parametrize(
    "field,value",
    [
        ("dim", 20.0),
        ("dim", -1),
        ("dim", "20"),
        ("rep", 2**32),
        ("rep", 2**64),
        ("sims_per_move", 4294967296),
        ("sample_moves", -(2**70)),
        ("c_base", "19652"),
        ("c_init", "1.25"),
        ("dirichlet_alpha", None),
        ("exploration_fraction", [0.25]),
        ("c_init", 10**400),
    ],
)
def test_unconvertible_values_name_their_field(field, value, panic_exception):
    config = make_config(**{field: value})
    error = TypeError(f"failed to extract field Config.{field}")
    assert_unreadable(config, panic_exception, unwrap_message(error))


@pytest.mark.parametrize(
    "field, value",
    [
        ("root_search", "alphazero"),
        ("root_search", b"gumbel"),
        ("gumbel_actions", 0),
        ("gumbel_actions", 2**32),
        ("c_visit", "50"),
        ("c_scale", None),
        ("first_play", "infinity"),
        ("full_search_share", 0),
        ("full_search_share", -0.25),
        ("full_search_share", 1.0000001),
        ("full_search_share", float("nan")),
        ("full_search_share", 1e-50),  # nothing once narrowed to 32 bits
        ("full_search_share", "0.5"),
        ("fast_sims", 0),
        ("fast_sims", 2**32),
        ("fast_sims", 2.0),
    ],
)
def test_a_bad_search_setting_fails_the_training_game_only(field, value, panic_exception):
    """The optional search settings are read by the one function that searches, and fail as a field does."""
    config = make_config(**{"root_search": "gumbel", field: value})
    service, results = Service(uniform_network), ResultQueue()
    with pytest.raises(panic_exception) as e:
        zelmor_self_play.play_training_game(7, config, results, service.inference_queue, service.pipe)
    assert e.value.args == (unwrap_message(TypeError(f"failed to extract field Config.{field}")),)
    assert not service.requests and not results.records
    status, _, _ = run_against_random(config, uniform_network)
    assert status == 0


@pytest.mark.parametrize(
    "fields",
    [
        dict(sims_per_move=4294967295),
        dict(sample_moves=4294967295),
        dict(c_base=19652),
        dict(c_init=True),
        dict(dim=np.uint8(5), rep=np.int64(1)),
        dict(c_base=np.float64(3.5), exploration_fraction=np.float32(0.5)),
        dict(dirichlet_alpha=1e300, c_init=-1e300),
        dict(full_search_share=1, fast_sims=4294967295),
        dict(full_search_share=np.float32(1e-30), fast_sims=np.uint8(1)),
    ],
)
def test_values_within_range_are_accepted(fields):
    # The root's evaluation fails at once, so even 4294967295 simulations cost nothing.
    def refuse(request):
        raise ConnectionError("no network")

    status, service, results = run_training_game(make_config(**fields), refuse)
    assert status == 1 and len(service.requests) == 1 and not results.records


def test_rep_true_selects_planes_first():
    status, service, _ = run_against_random(make_config(dim=6, rep=True), uniform_network)
    assert status == 0
    assert service.requests[0].planes.shape == (5, 6, 6)
    assert (service.requests[0].planes == np.asarray(Game(6).state(False))).all()


@pytest.mark.parametrize("dim", [0, 3, 33, 4294967295])
def test_a_board_size_the_rules_reject_is_fatal(dim, panic_exception):
    with pytest.raises(ValueError) as rules:
        Game(dim)
    for play in (zelmor_self_play.play_training_game, zelmor_self_play.play_test_against_random):
        service, results = Service(uniform_network), ResultQueue()
        with pytest.raises(panic_exception) as e:
            play(1, make_config(dim=dim), results, service.inference_queue, service.pipe)
        assert e.value.args == (str(rules.value),)
        assert not service.requests and not results.records


# ----------------------------------------------------------------------------------------------------------
# The class of fatal errors


def test_panic_exception_is_a_base_exception_only(panic_exception):
    assert panic_exception.__name__ == "PanicException"
    assert panic_exception.__mro__ == (panic_exception, BaseException, object)
    service = Service(uniform_network)
    try:
        try:
            zelmor_self_play.play_test_against_random(
                1, make_config(rep=3), ResultQueue(), service.inference_queue, service.pipe
            )
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException caught as an Exception")
    except BaseException as e:  # noqa: BLE001
        assert type(e) is panic_exception  # one class for every fatal error, created once
        assert e.args == ("Invalid representation type",)
    assert not service.requests


def test_a_fatal_error_leaves_the_interpreter_usable(panic_exception):
    with pytest.raises(panic_exception):
        run_against_random(make_config(rep=0), uniform_network)
    assert sys.exc_info() == (None, None, None)
    status, _, results = run_against_random(make_config(), uniform_network)
    assert status == 0 and results.records[0][1] in PAYOFF_SHARES
    assert math.isfinite(results.records[0][1])
