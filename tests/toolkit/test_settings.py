"""Settings: defaults, TOML file, flags, and one clear refusal per bad value."""

import math

import pytest

from stand_ins import CONFIG_FIELDS
from zelmor_lab.selfplay.settings import Settings, SettingsError, load_settings


def test_defaults_are_the_documented_search_constants():
    settings = Settings()
    assert (settings.c_base, settings.c_init, settings.exploration_fraction) == (19652.0, 1.25, 0.25)
    assert settings.dim == 20 and settings.rep == 1 and 0 < settings.dirichlet_alpha < 1
    assert settings.workers >= 1


def test_a_service_batches_half_the_workers_or_its_own_unless_told_otherwise():
    assert [Settings(workers=8).batch_limit(n) for n in (1, 3, 8)] == [1, 2, 4]
    assert [Settings(workers=8, max_batch=6).batch_limit(n) for n in (1, 3, 8)] == [1, 3, 6]
    # Two services: each runs all of its own four (or five of nine), the run's half.
    assert [Settings().batch_limit(n, 2) for n in (1, 8, 9, 16)] == [1, 4, 5, 8]
    assert [Settings(max_batch=3).batch_limit(n, 2) for n in (1, 8, 16)] == [1, 3, 3]


def test_the_engine_reads_plain_numbers_of_the_right_kind():
    settings = load_settings(c_base=20000)  # an integer where a float is meant
    values = {name: getattr(settings, name) for name in CONFIG_FIELDS}
    assert all(type(values[name]) is int for name in CONFIG_FIELDS[:4])
    assert all(type(values[name]) is float for name in CONFIG_FIELDS[4:])
    assert values["c_base"] == 20000.0


def test_flags_override_the_file_which_overrides_the_defaults(tmp_path):
    path = tmp_path / "run.toml"
    path.write_text("dim = 8\nsims_per_move = 12\ndirichlet_alpha = 0.5\n")
    settings = load_settings(path, dim=10, sims_per_move=None)
    assert (settings.dim, settings.sims_per_move, settings.dirichlet_alpha) == (10, 12, 0.5)
    assert settings.c_init == Settings().c_init


@pytest.mark.parametrize(
    "values, message",
    [
        ({"dim": 3}, "setting dim must be between 4 and 32, got 3"),
        ({"dim": 33}, "setting dim must be between 4 and 32, got 33"),
        ({"dim": 8.0}, "setting dim must be an integer, got 8.0"),
        ({"rep": 3}, "setting rep must be 1 or 2, got 3"),
        ({"sims_per_move": 0}, "setting sims_per_move must be at least 1, got 0"),
        ({"sims_per_move": True}, "setting sims_per_move must be an integer, got True"),
        ({"dirichlet_alpha": 0.0}, "setting dirichlet_alpha must be greater than 0, got 0.0"),
        ({"exploration_fraction": 1.5}, "setting exploration_fraction must be between 0 and 1, got 1.5"),
        ({"exploration_fraction": math.nan}, "setting exploration_fraction must be a finite number, got nan"),
        ({"c_init": "1.25"}, "setting c_init must be a number, got '1.25'"),
        ({"root_search": "alphazero"}, 'setting root_search must be "puct" or "gumbel", got \'alphazero\''),
        ({"gumbel_actions": 0}, "setting gumbel_actions must be at least 1, got 0"),
        ({"c_scale": 0.0}, "setting c_scale must be greater than 0, got 0.0"),
        ({"first_play": "mean"}, 'setting first_play must be "zero" or "parent", got \'mean\''),
        ({"full_search_share": 0}, "setting full_search_share must be greater than 0 and at most 1, got 0.0"),
        ({"full_search_share": 1.5}, "setting full_search_share must be greater than 0 and at most 1, got 1.5"),
        ({"full_search_share": math.nan}, "setting full_search_share must be a finite number, got nan"),
        ({"fast_sims": 0}, "setting fast_sims must be at least 1, got 0"),
        ({"fast_sims": 2.5}, "setting fast_sims must be an integer, got 2.5"),
        ({"workers": 0}, "setting workers must be at least 1, got 0"),
        ({"max_batch": -1}, "setting max_batch must be at least 0, got -1"),
        ({"device": "tpu"}, 'setting device must be "cpu" or a CUDA device such as "cuda:0", got \'tpu\''),
        ({"simulations": 3}, "unknown setting 'simulations'"),
    ],
)
def test_a_bad_value_is_refused_naming_the_setting(values, message):
    with pytest.raises(SettingsError) as error:
        load_settings(**values)
    assert str(error.value) == message


@pytest.mark.parametrize(
    "text, message",
    [
        ("sims_per_move = 0\n", "{path}: setting sims_per_move must be at least 1, got 0"),
        ("speed = 2\n", "{path}: unknown setting 'speed'"),
        ("dim = \n", "settings file {path} is not valid TOML: Invalid value (at line 1, column 7)"),
    ],
)
def test_a_bad_settings_file_is_refused_naming_the_file(tmp_path, text, message):
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(SettingsError) as error:
        load_settings(path)
    assert str(error.value) == message.format(path=path)


def test_a_missing_settings_file_is_named(tmp_path):
    with pytest.raises(SettingsError) as error:
        load_settings(tmp_path / "absent.toml")
    assert str(error.value) == f"cannot read settings file {tmp_path / 'absent.toml'}: No such file or directory"
