import random

import numpy as np
import pytest

import helpers
from kestrune._core import kinship_classes, relationship

NAMES = ["mother_son", "mother_daughter", "father_son", "father_daughter"]


def split(ids, father, mother, sex, keep=None):
    matrices, rows, names, counts = kinship_classes(ids, father, mother, sex, keep)
    assert names == NAMES
    return matrices, rows, counts


def nonzero(matrix, rows):
    return {(rows[i], rows[j]): matrix[i, j] for i, j in zip(*np.nonzero(matrix))}


FAMILY = (["f", "m", "s", "d"], [None, None, "f", "f"], [None, None, "m", "m"])


def test_nuclear_family_split():
    matrices, rows, counts = split(*FAMILY, ["1", "2", "1", "2"])
    assert rows == ["f", "m", "s", "d"]
    assert counts == [1, 1, 1, 1]
    everything_else, mother_son, mother_daughter, father_son, father_daughter = matrices
    assert nonzero(everything_else, rows) == {
        ("f", "f"): 1.0, ("m", "m"): 1.0, ("s", "s"): 1.0, ("d", "d"): 1.0,
        ("s", "d"): 0.5, ("d", "s"): 0.5}
    assert nonzero(mother_son, rows) == {("m", "s"): 0.5, ("s", "m"): 0.5}
    assert nonzero(mother_daughter, rows) == {("m", "d"): 0.5, ("d", "m"): 0.5}
    assert nonzero(father_son, rows) == {("f", "s"): 0.5, ("s", "f"): 0.5}
    assert nonzero(father_daughter, rows) == {("f", "d"): 0.5, ("d", "f"): 0.5}
    for matrix in matrices:
        assert matrix.shape == (4, 4) and matrix.dtype == np.float64 and matrix.flags.c_contiguous


# Only the child's own code, exactly "1" or "2", classes its ties; the parents' codes never matter.
@pytest.mark.parametrize("code", ["M", "F", "0", "01", "1 ", " 1", "", None])
def test_unrecognised_daughter_codes_leave_her_ties_unclassed(code):
    matrices, rows, counts = split(*FAMILY, ["2", None, "1", code])
    assert counts == [1, 0, 1, 0]
    assert not matrices[2].any() and not matrices[4].any()
    assert nonzero(matrices[0], rows)[("m", "d")] == 0.5
    assert nonzero(matrices[0], rows)[("d", "f")] == 0.5
    assert nonzero(matrices[3], rows) == {("f", "s"): 0.5, ("s", "f"): 0.5}


def test_same_person_as_mother_and_father_is_in_both_classes():
    matrices, rows, counts = split(["p", "c"], [None, "p"], [None, "p"], [None, "1"])
    assert counts == [1, 0, 1, 0]
    assert nonzero(matrices[1], rows) == nonzero(matrices[3], rows) == {("p", "c"): 1.0, ("c", "p"): 1.0}
    assert nonzero(matrices[0], rows) == {("p", "p"): 1.0, ("c", "c"): 1.5}


@pytest.mark.parametrize("keep, rows, counts", [
    (["s", "m"], ["s", "m"], [1, 0, 0, 0]),      # f is computed but has no row: no father pair
    (["s", "d"], ["s", "d"], [0, 0, 0, 0]),
    (["d", "s", "m", "d"], ["d", "s", "m", "d"], [1, 1, 0, 0]),
    (None, ["f", "m", "s", "d"], [1, 1, 1, 1]),
    ([], ["f", "m", "s", "d"], [1, 1, 1, 1]),
])
def test_keep_restricts_the_pairs(keep, rows, counts):
    matrices, got_rows, got_counts = split(*FAMILY, ["1", "2", "1", "2"], keep)
    assert got_rows == rows and got_counts == counts
    reference, _ = relationship(*FAMILY, keep=keep)
    np.testing.assert_array_equal(sum(matrices), reference)


def test_repeated_kept_child_is_classed_at_its_later_row_only():
    matrices, rows, counts = split(*FAMILY, ["1", "2", "1", "2"], ["d", "m", "d"])
    assert counts == [0, 1, 0, 0]
    np.testing.assert_array_equal(matrices[2], [[0, 0, 0], [0, 0, 0.5], [0, 0.5, 0]])
    np.testing.assert_array_equal(matrices[0], [[1, 0.5, 1], [0.5, 1, 0], [1, 0, 1]])


def test_sex_code_of_someone_without_a_row_changes_nothing():
    a = split(*FAMILY, ["1", "2", "1", "2"], ["d", "m"])
    b = split(*FAMILY, ["1", "2", "2", "2"], ["d", "m"])
    assert a[2] == b[2] == [0, 1, 0, 0]
    for x, y in zip(a[0], b[0]):
        np.testing.assert_array_equal(x, y)


def test_empty_pedigree():
    matrices, rows, names, counts = kinship_classes([], [], [], [])
    assert [m.shape for m in matrices] == [(0, 0)] * 5
    assert (rows, names, counts) == ([], NAMES, [0, 0, 0, 0])


# --- random pedigrees with sex codes: the five matrices add up to the relationship matrix -----


def random_pedigree(seed):
    return helpers.random_pedigree(seed, generations=5, width=24, founder_rate=0.2,
                                   sexes=["1", "2", "1", "2", None, "M", "0"])


@pytest.mark.parametrize("seed, kept", [(11, None), (12, None), (13, 40), (14, 60)])
def test_random_pedigree_classes_add_up(seed, kept):
    ids, father, mother, sex = random_pedigree(seed)
    keep = random.Random(seed).sample(ids, kept) if kept else None
    matrices, rows, counts = split(ids, father, mother, sex, keep)
    reference, reference_rows = relationship(ids, father, mother, keep=keep)
    assert rows == reference_rows

    position = {a: i for i, a in enumerate(rows)}
    parents = {a: (m, f) for a, f, m in zip(ids, father, mother)}
    code = dict(zip(ids, sex))
    expected_counts = [0, 0, 0, 0]
    expected_cells = [set(), set(), set(), set()]
    selfed = set()
    for child in rows:
        offset = {"1": 0, "2": 1}.get(code[child])
        if offset is None:
            continue
        for role, parent in enumerate(parents[child]):
            if parent in position:
                cls = 2 * role + offset
                expected_counts[cls] += 1
                i, j = position[child], position[parent]
                expected_cells[cls] |= {(i, j), (j, i)}
        if parents[child][0] is not None and parents[child][0] == parents[child][1]:
            selfed.add(position[child])
    assert counts == expected_counts
    assert sum(counts) > (20 if kept is None else 5)

    total = sum(matrices)
    for i, j in np.argwhere(total != reference):
        assert i in selfed or j in selfed  # the one cell shared by a mother and a father pair
    for cls, matrix in enumerate(matrices[1:]):
        assert not matrix.diagonal().any()
        assert np.array_equal(matrix, matrix.T)
        cells = {(i, j) for i, j in np.argwhere(matrix != 0)}
        assert cells <= expected_cells[cls]
        for i, j in expected_cells[cls]:
            assert matrix[i, j] == reference[i, j]
            assert matrices[0][i, j] == 0.0
    np.testing.assert_array_equal(matrices[0].diagonal(), reference.diagonal())


# --- faults ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("args, message", [
    ((["a", "b"], [None, "a"], [None, "b"], ["1"]), "PEDIGREE_LENGTH_MISMATCH"),
    ((["a"], [None, None], [None], [None]), "PEDIGREE_LENGTH_MISMATCH"),
    ((["a", "b"], ["b", "a"], ["b", "a"], ["1", "2"]), "PEDIGREE_CYCLE: a"),
    ((["s", "m", "s"], [None, None, "m"], [None, None, "m"], ["1", "2", "1"]), "PEDIGREE_DUPLICATE_ID: s"),
    ((["a", "b"], [None, "a"], [None, None], ["1", "2"]), "PEDIGREE_ONE_KNOWN_PARENT: b"),
    ((["a", "b"], [None, "a"], [None, "x"], ["1", "2"]), "PEDIGREE_MISSING_PARENT_RECORD: b names x"),
    ((["a"], [None], [None], ["1"], ["a", "b"]), "PEDIGREE_UNKNOWN_ID: b"),
])
def test_faults(args, message):
    with pytest.raises(ValueError) as raised:
        kinship_classes(*args)
    assert str(raised.value) == message


@pytest.mark.parametrize("args, name", [
    (("a", ["x"], ["y"], ["1"]), "ids"),
    ((["a"], [None], [None], "1"), "sex"),
    ((["a"], [None], [None], [1]), "sex"),
    ((["a"], [None], [None], [None], "a"), "keep"),
    ((["a"], [None], [None]), "sex"),
])
def test_arguments_of_the_wrong_type(args, name):
    with pytest.raises(TypeError, match=f"'{name}'"):
        kinship_classes(*args)


def test_docstring():
    assert kinship_classes.__text_signature__ == "(ids, father, mother, sex, keep=None)"
    lines = kinship_classes.__doc__.splitlines()
    assert lines[:9] == [
        "Split the relationship matrix by the kind of parent\u2013offspring tie.",
        "",
        "Returns the five matrices the model wants \u2014 everything else, then",
        "mother\u2013son, mother\u2013daughter, father\u2013son and father\u2013daughter \u2014 with the",
        "identifiers their rows are in, the class names, and how many pairs fell",
        "in each class.",
        "",
        "**The pair counts are worth reading before the answer is.** A class's",
        "weight is determined by the pairs in it, and these classes are rarely",
    ]
    assert len(lines) == 11 and lines[9].startswith("balanced:")
