"""The module's one class of fatal errors, made on first use and shared by every function and call."""

from __future__ import annotations

import textwrap

from engine_helpers import run_python


def test_every_function_raises_the_one_class_made_on_first_use():
    # A fresh interpreter, so that the first fatal error is the one that makes the class; each function
    # fails in its own way (an unreadable settings object, a board side the rules reject, an invalid
    # layout found at the first evaluation) and all three must raise the very same class.
    script = textwrap.dedent("""
        import types
        import zelmor_self_play as engine

        class Queue:
            def put(self, item):
                raise AssertionError("nothing may be sent")

        def config(**fields):
            values = dict(dim=4, rep=1, sims_per_move=2, sample_moves=0, c_base=19652.0, c_init=1.25,
                          dirichlet_alpha=0.3, exploration_fraction=0.25)
            values.update(fields)
            return types.SimpleNamespace(**values)

        calls = [
            lambda: engine.play_test_game(0, {}, Queue(), Queue(), Queue(), None),
            lambda: engine.play_training_game(1, config(dim=3), Queue(), Queue(), None),
            lambda: engine.play_test_against_random(2, config(rep=0), Queue(), Queue(), None),
            lambda: engine.play_test_game(3, config(rep=7), Queue(), Queue(), Queue(), None),
        ]
        classes = []
        for call in calls:
            try:
                call()
            except Exception as e:
                raise SystemExit(f"an Exception escaped: {e!r}")
            except BaseException as e:
                classes.append(type(e))
        assert len(classes) == len(calls), classes
        assert all(c is classes[0] for c in classes), classes
        cls = classes[0]
        print(cls.__module__, cls.__qualname__, cls.__mro__[1:] == (BaseException, object))
        print(cls.__doc__)
    """)
    done = run_python(script)
    assert done.returncode == 0, done.stderr
    assert done.stdout == (
        "zelmor_self_play PanicException True\n"
        "A fatal error inside the engine: a broken precondition or invariant, or unreadable settings.\n"
    )
