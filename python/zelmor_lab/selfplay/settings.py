"""Settings of a self-play or evaluation run: the eight the engine reads and those of the pipeline.

A ``Settings`` object is handed to the engine as its ``config``: the engine reads the attributes
``dim``, ``rep``, ``sims_per_move``, ``sample_moves``, ``c_base``, ``c_init``, ``dirichlet_alpha`` and
``exploration_fraction``, and for self-play the search's options (``root_search``, ``gumbel_actions``,
``c_visit``, ``c_scale``, ``first_play``, ``full_search_share``, ``fast_sims``), and ignores the rest.
Values come from the defaults below, then a TOML file
(flat ``name = value`` lines using the field names), then command-line flags; every value is checked
in one place, ``Settings.__post_init__``, so the engine never sees one it cannot use.
"""

from __future__ import annotations

import os
import sys
from dataclasses import asdict, dataclass, fields, replace
from pathlib import Path
from typing import Any

from ..constants import STANDARD_DIM
from ..errors import InputError
from ..play.tree_search import FIRST_PLAYS, ROOT_SEARCHES, RootSearch
from ..validation import check_kinds, require
from .backends import BACKENDS, default_backend, onnxruntime_installed

if sys.version_info >= (3, 11):
    import tomllib
else:  # Python 3.10: settings come from flags only
    tomllib = None


class SettingsError(InputError):
    """A setting with a value the run cannot use, or a settings file that cannot be read."""


@dataclass(frozen=True)
class Settings:
    """Search settings (read by the engine):

    dim: board side, 4 to 32 (20 is the standard board; evaluation against a checkpoint always uses 20).
    rep: layout of the network input sent by the engine: 1 planes first (5, dim, dim), 2 planes last.
    sims_per_move: tree-search simulations per action; each costs one network evaluation.
    sample_moves: actions numbered below this (counting from 1, one action per tile) are drawn in
        proportion to the visit counts, later ones are the most visited; 60 is about three pieces per
        player.
    c_base, c_init: constants of the exploration term of the selection rule (AlphaZero's values).
    dirichlet_alpha: concentration of the root noise; 0.3 suits the ten to fifty legal tiles of a
        typical position.
    exploration_fraction: weight of the noise in the root priors.
    root_search: how the root spends the simulations: "puct" (the selection rule everywhere, Dirichlet
        noise, visit shares as the policy target) or "gumbel" (gumbel_actions tiles drawn by Gumbel-top-k
        share the budget by Sequential Halving; the target is the improved policy, softmax(logits +
        sigma(completed q)) with sigma(q) = (c_visit + most visits) * c_scale * q; the game acts by the
        search's last tile standing). The Gumbel draws explore where PUCT samples its actions, the first
        sample_moves actions; dirichlet_alpha and exploration_fraction are unused there.
    first_play: PUCT's value of an unvisited child: "zero" (the worst value there is) or "parent" (the
        parent's mean value for the player choosing).
    full_search_share: the chance that a self-play action gets the full search of sims_per_move
        simulations; the others get a fast search of fast_sims simulations, without Dirichlet noise (a
        Gumbel search keeps its draws), whose visits are not a policy target: the action is stored with
        an empty policy and trains the value only (KataGo's playout cap randomization). 1, the default,
        searches every action fully.
    fast_sims: simulations of a fast search.

    Pipeline settings (read by zelmor-lab only):

    workers: self-play processes; by default eight per core. A worker spends most of its time waiting
        for its reply, and with max_batch at its default only half of them wait on the network at a time.
        bench/README.md gives the sweep the defaults come from.
    services: inference service processes, each running the network on one core for its share of the
        workers (worker w's share is w modulo services); 0 (the default) means one per core on the CPU
        and one on a CUDA device. They share the reply cache.
    batch_wait_ms: how long the inference service waits for more requests before it runs a batch
        smaller than max_batch.
    max_batch: the most requests a service evaluates as one batch; 0 (the default) means half the run's
        workers, rounded up, or all of a service's own where that is fewer, and a value of at least its
        workers lets every one of them into one batch. With one service, one half of the workers searches
        and sends its next requests while the network evaluates the other half's, so the service does not
        wait for its workers between batches; with one service per core, another service's workers search
        on the core a service leaves, and each service runs all its workers' requests at once
        (bench/README.md measures both).
    flush_every: finished games per Parquet shard; at most this many minus one are lost when a run is
        killed.
    reply_timeout_s: how long a worker waits for one network reply before it gives the service up.
    device: where the inference service runs the network, "cpu" or a CUDA device such as "cuda:0".
    backend: how the service runs the network (see backends): "onnxruntime" (the default where ONNX
        Runtime is installed and, for a CUDA device, has its CUDA provider), "torch" (traced and frozen,
        the default otherwise) or "torch-eager" (the module as written).
    cache_mb: memory bound of the service's reply cache in MiB (0: no cache); a third of the
        requests of a game at 32 simulations per action repeat a position it has already sent. Over the
        "shm" transport it is the channel's reply table, which the workers read themselves.
    transport: how requests and replies travel between the workers and the service: "shm", slots in
        shared memory (Linux; the default there, several times faster), or "queue", a multiprocessing
        queue and pipes (portable).
    """

    dim: int = STANDARD_DIM
    rep: int = 1
    sims_per_move: int = 32
    sample_moves: int = 60
    c_base: float = 19652.0
    c_init: float = 1.25
    dirichlet_alpha: float = 0.3
    exploration_fraction: float = 0.25
    root_search: str = "puct"
    gumbel_actions: int = 8
    c_visit: float = 50.0
    c_scale: float = 1.0
    first_play: str = "zero"
    full_search_share: float = 1.0
    fast_sims: int = 8
    workers: int = 8 * (os.cpu_count() or 1)
    services: int = 0
    batch_wait_ms: float = 1.0
    max_batch: int = 0
    flush_every: int = 16
    reply_timeout_s: float = 60.0
    device: str = "cpu"
    backend: str = ""  # "": the default for the device, chosen when the settings are made
    cache_mb: float = 64.0
    transport: str = "shm" if sys.platform.startswith("linux") else "queue"

    def __post_init__(self):
        if self.backend == "" and isinstance(self.device, str):
            object.__setattr__(self, "backend", default_backend(self.device))
        check_kinds(self, "setting", SettingsError)
        self._require(4 <= self.dim <= 32, "dim", "must be between 4 and 32")
        self._require(self.rep in (1, 2), "rep", "must be 1 or 2")
        self._require(1 <= self.sims_per_move < 2**32, "sims_per_move", "must be at least 1")
        self._require(0 <= self.sample_moves < 2**32, "sample_moves", "must be at least 0")
        self._require(self.c_base > 0, "c_base", "must be greater than 0")
        self._require(self.c_init >= 0, "c_init", "must be at least 0")
        self._require(self.dirichlet_alpha > 0, "dirichlet_alpha", "must be greater than 0")
        self._require(0 <= self.exploration_fraction <= 1, "exploration_fraction", "must be between 0 and 1")
        self._require(self.root_search in ROOT_SEARCHES, "root_search", 'must be "puct" or "gumbel"')
        self._require(1 <= self.gumbel_actions < 2**32, "gumbel_actions", "must be at least 1")
        self._require(self.c_visit >= 0, "c_visit", "must be at least 0")
        self._require(self.c_scale > 0, "c_scale", "must be greater than 0")
        self._require(self.first_play in FIRST_PLAYS, "first_play", 'must be "zero" or "parent"')
        self._require(0 < self.full_search_share <= 1, "full_search_share", "must be greater than 0 and at most 1")
        self._require(1 <= self.fast_sims < 2**32, "fast_sims", "must be at least 1")
        self._require(self.workers >= 1, "workers", "must be at least 1")
        self._require(self.services >= 0, "services", "must be at least 0")
        self._require(self.batch_wait_ms >= 0, "batch_wait_ms", "must be at least 0")
        self._require(self.max_batch >= 0, "max_batch", "must be at least 0")
        self._require(self.flush_every >= 1, "flush_every", "must be at least 1")
        self._require(self.reply_timeout_s > 0, "reply_timeout_s", "must be greater than 0")
        self._require(
            self.device == "cpu" or self.device.split(":")[0] == "cuda",
            "device",
            'must be "cpu" or a CUDA device such as "cuda:0"',
        )
        self._require(self.backend in BACKENDS, "backend", f"must be one of {', '.join(BACKENDS)}")
        if self.backend == "onnxruntime":
            self._require(onnxruntime_installed(), "backend", "needs ONNX Runtime: pip install 'zelmor-lab[torch]'")
        self._require(self.cache_mb >= 0, "cache_mb", "must be at least 0")
        self._require(self.transport in ("shm", "queue"), "transport", 'must be "shm" or "queue"')

    def _require(self, condition: bool, name: str, rule: str) -> None:
        require(self, "setting", SettingsError, condition, name, rule)

    def with_values(self, **values: Any) -> Settings:
        """A copy with the given settings replaced; None values are left out (an absent flag)."""
        given = {k: v for k, v in values.items() if v is not None}
        unknown = sorted(set(given) - {f.name for f in fields(self)})
        if unknown:
            raise SettingsError(f"unknown setting {unknown[0]!r}")
        if "device" in given and "backend" not in given and self.backend == default_backend(self.device):
            given["backend"] = ""  # the default of the old device gives way to the new one's
        return replace(self, **given)

    def root(self) -> RootSearch:
        """The root search as the search player takes it."""
        return RootSearch(self.root_search, self.gumbel_actions, self.c_visit, self.c_scale, self.first_play)

    def service_count(self) -> int:
        """Inference services a run of these settings starts (before the cap of one per worker)."""
        if self.services:
            return self.services
        return 1 if self.device != "cpu" else usable_cores()

    def batch_limit(self, workers: int, services: int = 1) -> int:
        """A service's largest batch when ``workers`` workers play (fewer than ``self.workers`` when a run has
        fewer games than workers) and ``services`` services share them."""
        own = -(-workers // services)
        return min(own, self.max_batch or (workers + 1) // 2)

    @property
    def cache_bytes(self) -> int:
        return int(self.cache_mb * 2**20)

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def usable_cores() -> int:
    """The cores this process may run on (fewer than the machine's under taskset or a container's limit)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def read_toml(toml_path: str | Path) -> dict[str, Any]:
    """The tables of a TOML settings file; SettingsError when it cannot be read."""
    if tomllib is None:
        raise SettingsError("reading a settings file needs Python 3.11 or later")
    try:
        with open(toml_path, "rb") as f:
            return tomllib.load(f)
    except OSError as error:
        raise SettingsError(f"cannot read settings file {toml_path}: {error.strerror}") from None
    except tomllib.TOMLDecodeError as error:
        raise SettingsError(f"settings file {toml_path} is not valid TOML: {error}") from None


def load_settings(toml_path: str | Path | None = None, **overrides: Any) -> Settings:
    """Defaults, then the TOML file if any, then the overrides that are not None."""
    settings = Settings()
    if toml_path is not None:
        table = read_toml(toml_path)
        try:
            settings = settings.with_values(**table)
        except SettingsError as error:
            raise SettingsError(f"{toml_path}: {error}") from None
    return settings.with_values(**overrides)
