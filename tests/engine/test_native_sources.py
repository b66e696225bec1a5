"""The C++ sources as the build and the layout check see them: every source named in the build, and
tools/format-check failing exactly when a source is not laid out as .clang-format says."""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCE_DIRS = ("src/rules", "src/search", "src/engine", "src/channel", "src/bindings", "bench")


def test_every_cpp_file_is_named_in_the_build():
    build = (ROOT / "CMakeLists.txt").read_text()
    assert "GLOB" not in build, "sources are listed, never globbed"
    named = set(re.findall(r"[\w/]+\.cpp", build))
    on_disk = {str(p.relative_to(ROOT)) for d in SOURCE_DIRS for p in (ROOT / d).glob("*.cpp")}
    assert on_disk - named == set(), "C++ files the build leaves out"
    assert named - on_disk == set(), "the build names C++ files that do not exist"


def _format_check(tree: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(tree / "tools" / "format-check"), *args], capture_output=True, text=True, timeout=120)


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    """A git work tree holding the check, the style, one formatted source and one ignored file."""
    if shutil.which("clang-format") is None or shutil.which("git") is None:
        pytest.skip("clang-format and git are needed (pip install clang-format==19.1.7)")
    (tmp_path / "tools").mkdir()
    shutil.copy2(ROOT / "tools" / "format-check", tmp_path / "tools" / "format-check")
    shutil.copy2(ROOT / ".clang-format", tmp_path / ".clang-format")
    (tmp_path / ".gitignore").write_text("build/\n")
    (tmp_path / "build").mkdir()
    (tmp_path / "build" / "generated.cpp").write_text("int  ugly( ){return 0 ;}\n")
    (tmp_path / "good.cpp").write_text("int good() { return 0; }\n")
    subprocess.run(["git", "init", "-q", str(tmp_path)], check=True)
    subprocess.run(["git", "-C", str(tmp_path), "add", "good.cpp"], check=True)
    done = _format_check(tmp_path)
    if done.returncode == 2:
        pytest.skip(done.stderr.strip())
    return tmp_path


def test_format_check_passes_a_formatted_tree_and_ignores_ignored_files(tree: Path):
    done = _format_check(tree)
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


def test_format_check_names_every_unformatted_file_tracked_or_new(tree: Path):
    (tree / "good.cpp").write_text("int good( ) {return 0;}\n")  # tracked, now changed
    (tree / "new.hpp").write_text("#pragma once\nint  fresh();\n")  # not added yet
    done = _format_check(tree)
    assert done.returncode == 1
    assert done.stderr == (
        "not formatted: good.cpp\nnot formatted: new.hpp\ntools/format-check: run tools/format-check --fix\n"
    )

    fixed = _format_check(tree, "--fix")
    assert fixed.returncode == 0
    assert (tree / "good.cpp").read_text() == "int good() { return 0; }\n"
    assert (tree / "build" / "generated.cpp").read_text() == "int  ugly( ){return 0 ;}\n"
    assert _format_check(tree).returncode == 0


def test_format_check_skips_a_tracked_file_deleted_from_the_work_tree(tree: Path):
    (tree / "good.cpp").unlink()
    done = _format_check(tree)
    assert (done.returncode, done.stderr) == (0, "")


def test_format_check_refuses_unknown_arguments(tree: Path):
    done = _format_check(tree, "--check")
    assert (done.returncode, done.stderr) == (2, "usage: tools/format-check [--fix]\n")


def test_format_check_outside_a_git_work_tree_fails_rather_than_passing_nothing(tree: Path):
    shutil.rmtree(tree / ".git")
    done = _format_check(tree)
    assert done.returncode == 2
    assert done.stderr == f"tools/format-check: {tree} is not a git work tree, so its sources cannot be listed\n"
