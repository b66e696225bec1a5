"""The piece catalogue: base shapes, every orientation in order, and their board layout (offsets, mask, width)."""

import pytest

from zelmor_lab import pieces

# Per piece id: the base orientation, then every distinct orientation in variant-index order. Rows top to
# bottom separated by "/", "#" filled.
CATALOGUE = {
    0: ("#", "#"),
    1: ("##", "##, #/#"),
    2: ("##/.#", "##/.#, .#/##, #./##, ##/#."),
    3: ("###", "###, #/#/#"),
    4: ("####", "####, #/#/#/#"),
    5: ("##/#./#.", "##/#./#., ###/..#, .#/.#/##, #../###, ##/.#/.#, ..#/###, #./#./##, ###/#.."),
    6: ("###/.#.", "###/.#., .#/##/.#, .#./###, #./##/#."),
    7: ("##/##", "##/##"),
    8: ("##./.##", "##./.##, .#/##/#., .##/##., #./##/.#"),
    9: ("#####", "#####, #/#/#/#/#"),
    10: ("####/#...", "####/#..., ##/.#/.#/.#, ...#/####, #./#./#./##, ####/...#, .#/.#/.#/##, #.../####, ##/#./#./#."),
    11: ("###./..##", "###./..##, .#/.#/##/#., ##../.###, .#/##/#./#., .###/##.., #./##/.#/.#, ..##/###., #./#./##/.#"),
    12: ("###/##.", "###/##., ##/##/.#, .##/###, #./##/##, ###/.##, .#/##/##, ##./###, ##/##/#."),
    13: ("###/#../#..", "###/#../#.., ###/..#/..#, ..#/..#/###, #../#../###"),
    14: ("##./.##/..#", "##./.##/..#, ..#/.##/##., #../##./.##, .##/##./#.."),
    15: ("##./.#./.##", "##./.#./.##, ..#/###/#.., .##/.#./##., #../###/..#"),
    16: ("###/#.#", "###/#.#, ##/.#/##, #.#/###, ##/#./##"),
    17: ("####/.#..", "####/.#.., .#/##/.#/.#, ..#./####, #./#./##/#., ####/..#., .#/.#/##/.#, .#../####, #./##/#./#."),
    18: (".#./###/.#.", ".#./###/.#."),
    19: (
        ".#./###/#..",
        ".#./###/#.., ##./.##/.#., ..#/###/.#., .#./##./.##, .#./###/..#, .#./.##/##., #../###/.#., .##/##./.#.",
    ),
    20: ("###/.#./.#.", "###/.#./.#., ..#/###/..#, .#./.#./###, #../###/#.."),
}


def grid(rows: str) -> list[list[bool]]:
    return [[c == "#" for c in row] for row in rows.split("/")]


def text(shape: list[list[bool]]) -> str:
    return "/".join("".join("#" if c else "." for c in row) for row in shape)


@pytest.mark.parametrize("dim", [4, 5, 7, 20, 32])
def test_every_orientation_in_variant_order_for_every_board_side(dim):
    catalogue = pieces(dim)
    assert [p.piece_id for p in catalogue] == list(range(21))
    for piece in catalogue:
        base, variants = CATALOGUE[piece.piece_id]
        assert text(piece.shape) == base
        assert [text(v.shape) for v in piece.variants] == variants.split(", "), piece.piece_id


def test_catalogue_totals_and_sizes():
    catalogue = pieces(20)
    sizes = [p.size for p in catalogue]
    assert sizes == [1, 2, 3, 3] + [4] * 5 + [5] * 12
    assert sum(sizes) == 89
    assert sum(len(p.variants) for p in catalogue) == 91
    assert [p.piece_id for p in catalogue if len(p.variants) == 1] == [0, 7, 18]
    for piece in catalogue:
        assert all(sum(map(sum, v.shape)) == piece.size for v in piece.variants)


@pytest.mark.parametrize("dim", [4, 6, 20, 32])
def test_layout_follows_the_board_stride(dim):
    """mask: the rows with dim - width empty entries between them; offsets: the filled mask positions."""
    for piece in pieces(dim):
        for variant in piece.variants:
            rows = variant.shape
            width = len(rows[0])
            expected_mask = []
            for i, row in enumerate(rows):
                expected_mask += row
                if i + 1 < len(rows):
                    expected_mask += [False] * (dim - width)
            assert variant.width == width
            assert variant.mask == expected_mask
            assert variant.offsets == [k for k, filled in enumerate(expected_mask) if filled]
            assert variant.offsets == sorted(r * dim + c for r, row in enumerate(rows) for c, f in enumerate(row) if f)


def test_layout_examples_on_a_20_board():
    catalogue = pieces(20)
    l_tetromino = catalogue[5].variants[0]
    assert (l_tetromino.width, l_tetromino.offsets, len(l_tetromino.mask)) == (2, [0, 1, 20, 40], 42)
    vertical_five = catalogue[9].variants[1]
    assert (vertical_five.width, vertical_five.offsets, len(vertical_five.mask)) == (1, [0, 20, 40, 60, 80], 81)
    cross = catalogue[18].variants[0]
    assert cross.offsets == [1, 20, 21, 22, 41]  # the bounding box's top-left cell is not part of it
    horizontal_five = catalogue[9].variants[0]
    assert horizontal_five.mask == [True] * 5 and horizontal_five.width == 5


def test_a_four_wide_board_still_builds_the_five_long_piece():
    horizontal, vertical = pieces(4)[9].variants
    assert horizontal.offsets == [0, 1, 2, 3, 4]  # one row: no gap, wider than the board
    assert vertical.offsets == [0, 4, 8, 12, 16]


@pytest.mark.parametrize("dim", [3, 33, 0, -4])
def test_board_sides_outside_the_supported_range_are_refused(dim):
    with pytest.raises(ValueError, match=f"^board side {dim} is not in 4..32$"):
        pieces(dim)
