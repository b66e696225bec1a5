"""Checking the settings records (engine settings, training settings, network architecture, loop plan) as
they are made, so that a wrong value from a TOML file or a flag is refused in one line naming it; and
reading JSON text that anyone may have written."""

from __future__ import annotations

import json
import math
import typing
from dataclasses import fields
from typing import Any

_KINDS = {int: "an integer", float: "a number", str: "a string", bool: "true or false"}


def check_kinds(record: Any, label: str, error: type[Exception]) -> None:
    """Refuse, with ``error("{label} {field} must be ...")``, any field of the dataclass ``record`` annotated
    int, float, str or bool whose value is not of that kind. A float field takes a whole number too (stored as
    float) but not an infinity or NaN; True and False are not numbers. Fields of other kinds are left to
    the record."""
    hints = typing.get_type_hints(type(record))
    for f in fields(record):
        kind, value = hints[f.name], getattr(record, f.name)
        if kind not in _KINDS:
            continue
        if kind is bool:
            fits = isinstance(value, bool)
        elif kind is float:
            fits = isinstance(value, (int, float)) and not isinstance(value, bool)
        else:
            fits = isinstance(value, kind) and not (kind is int and isinstance(value, bool))
        if not fits:
            raise error(f"{label} {f.name} must be {_KINDS[kind]}, got {value!r}")
        if kind is float:
            if not math.isfinite(value):
                raise error(f"{label} {f.name} must be a finite number, got {value!r}")
            object.__setattr__(record, f.name, float(value))


def require(record: Any, label: str, error: type[Exception], condition: bool, name: str, rule: str) -> None:
    """``error("{label} {name} {rule}, got {value!r}")`` unless ``condition``."""
    if not condition:
        raise error(f"{label} {name} {rule}, got {getattr(record, name)!r}")


def load_json(text: str | bytes) -> Any:
    """json.loads, except that text nested too deeply for the parser is a ValueError, as any other text
    that is not JSON, rather than a RecursionError that no reader of a damaged file expects."""
    try:
        return json.loads(text)
    except RecursionError:
        raise ValueError("JSON nested too deeply") from None
