import random

import numpy as np
import pytest

import helpers
from kestrune._core import relationship


def entries(result):
    """The matrix as a dict keyed by identifier pairs (unique row identifiers only)."""
    matrix, ids = result
    return {(a, b): matrix[i, j] for i, a in enumerate(ids) for j, b in enumerate(ids)}


# --- an independent computation: twice the coefficient of kinship by its definition ----------


def generation(father, mother):
    depth = {}
    for person in father:
        stack = [person]
        while stack:
            p = stack[-1]
            if father[p] is None:
                depth[p] = 0
                stack.pop()
            elif father[p] in depth and mother[p] in depth:
                depth[p] = 1 + max(depth[father[p]], depth[mother[p]])
                stack.pop()
            else:
                stack.extend(q for q in (father[p], mother[p]) if q not in depth)
    return depth


def kinship_by_definition(ids, father, mother):
    """2 * phi(a, b): phi(a, a) = (1 + phi(f, m)) / 2; otherwise expand the later-born person."""
    fa = dict(zip(ids, father))
    mo = dict(zip(ids, mother))
    depth = generation(fa, mo)
    memo = {}

    def phi(a, b):
        if depth[a] < depth[b] or (depth[a] == depth[b] and a < b):
            a, b = b, a
        key = (a, b)
        if key not in memo:
            if a == b:
                memo[key] = 0.5 if fa[a] is None else 0.5 * (1.0 + phi(fa[a], mo[a]))
            elif fa[a] is None:
                memo[key] = 0.0  # a founder is no descendant of someone no younger
            else:
                memo[key] = 0.5 * (phi(fa[a], b) + phi(mo[a], b))
        return memo[key]

    return lambda a, b: 2.0 * phi(a, b)


def random_pedigree(seed):
    return helpers.random_pedigree(seed, generations=6, width=30, founder_rate=0.15)


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_pedigree_matches_kinship_by_definition(seed):
    ids, father, mother = random_pedigree(seed)
    matrix, rows = relationship(ids, father, mother)
    assert sorted(rows) == sorted(ids)
    position = {a: i for i, a in enumerate(rows)}
    for a, f, m in zip(ids, father, mother):
        if f is not None:
            assert position[f] < position[a] and position[m] < position[a]

    expected = kinship_by_definition(ids, father, mother)
    reference = np.array([[expected(a, b) for b in rows] for a in rows])
    np.testing.assert_allclose(matrix, reference, rtol=0, atol=1e-14)
    assert np.array_equal(matrix, matrix.T)
    assert matrix.diagonal().max() > 1.0  # the pedigree is inbred


@pytest.mark.parametrize("seed", [5, 6])
def test_random_pedigree_kept_rows_match_kinship_by_definition(seed):
    ids, father, mother = random_pedigree(seed)
    rng = random.Random(seed)
    keep = rng.sample(ids, 25) + [ids[0]]
    matrix, rows = relationship(ids, father, mother, keep=keep)
    assert rows == keep
    expected = kinship_by_definition(ids, father, mother)
    reference = np.array([[expected(a, b) for b in keep] for a in keep])
    np.testing.assert_allclose(matrix, reference, rtol=0, atol=1e-14)


# --- worked examples ---------------------------------------------------------------------------


def test_rows_follow_the_depth_first_order_mother_line_first():
    result = relationship(["x", "p", "q", "g1", "g2"],
                          ["p", "g1", None, None, None],
                          ["q", "g2", None, None, None])
    matrix, ids = result
    assert ids == ["q", "g2", "g1", "p", "x"]
    assert matrix.shape == (5, 5) and matrix.dtype == np.float64
    assert matrix.flags.c_contiguous
    a = entries(result)
    assert (a["g1", "p"], a["g1", "x"], a["p", "x"], a["q", "x"], a["q", "p"]) == (0.5, 0.25, 0.5, 0.5, 0.0)
    assert np.array_equal(matrix.diagonal(), np.ones(5))


def test_parents_listed_first_keep_the_input_order():
    _, ids = relationship(("f", "m", "c"), (None, None, "f"), (None, None, "m"))
    assert ids == ["f", "m", "c"]


def test_children_of_full_sibs_are_inbred():
    a = entries(relationship(["gf", "gm", "f", "m", "c"],
                             [None, None, "gf", "gf", "f"],
                             [None, None, "gm", "gm", "m"]))
    assert a["c", "c"] == 1.25
    assert a["f", "m"] == 0.5
    assert a["c", "f"] == 0.75


def test_same_person_as_father_and_mother():
    a = entries(relationship(["f", "m", "p", "c"],
                             [None, None, "f", "p"],
                             [None, None, "m", "p"]))
    assert a["c", "c"] == 1.5
    assert (a["c", "p"], a["c", "f"], a["c", "m"]) == (1.0, 0.5, 0.5)


def test_twins_share_the_first_computed_row():
    result = relationship(["t1", "t2", "f", "m"],
                          ["f", "f", None, None],
                          ["m", "m", None, None],
                          mz_twin=["A", "A", None, None])
    matrix, ids = result
    assert ids == ["m", "f", "t1", "t2"]
    np.testing.assert_array_equal(matrix, [[1.0, 0.0, 0.5, 0.5],
                                           [0.0, 1.0, 0.5, 0.5],
                                           [0.5, 0.5, 1.0, 1.0],
                                           [0.5, 0.5, 1.0, 1.0]])


def test_three_twins_of_an_inbred_first_member_copy_its_diagonal():
    a = entries(relationship(["p", "t1", "t2", "t3"],
                             [None, "p", "p", "p"],
                             [None, "p", "p", "p"],
                             mz_twin=[None, "x", "x", "x"]))
    among = {a[s, t] for s in ("t1", "t2", "t3") for t in ("t1", "t2", "t3")}
    assert among == {1.5}
    assert a["t3", "p"] == 1.0


# Twin groups are not checked against the parents, so which member comes first decides the row:
# here t1 is a child of f and m, t2 a founder.
@pytest.mark.parametrize("ids, father, mother, keep, t2_with_f, t2_diagonal", [
    (["t1", "t2", "f", "m"], ["f", None, None, None], ["m", None, None, None], None, 0.5, 1.0),
    (["t2", "t1", "f", "m"], [None, "f", None, None], [None, "m", None, None], None, 0.0, 1.0),
    (["t1", "t2", "f", "m"], ["f", None, None, None], ["m", None, None, None], ["t2", "f"], 0.0, 1.0),
])
def test_which_twin_defines_the_group(ids, father, mother, keep, t2_with_f, t2_diagonal):
    twin = ["A" if i in ("t1", "t2") else None for i in ids]
    a = entries(relationship(ids, father, mother, mz_twin=twin, keep=keep))
    assert a["t2", "f"] == t2_with_f
    assert a["t2", "t2"] == t2_diagonal


def test_partners_naming_each_other_are_not_twins():
    matrix, _ = relationship(["A", "B"], [None, None], [None, None], mz_twin=["B", "A"])
    np.testing.assert_array_equal(matrix, np.eye(2))


def test_keep_restricts_and_repeats_rows():
    ids, father, mother = ["a", "b", "c", "d"], [None, None, "a", "c"], [None, None, "b", "c"]
    matrix, rows = relationship(ids, father, mother, keep=["d", "a", "d"])
    assert rows == ["d", "a", "d"]
    np.testing.assert_array_equal(matrix, [[1.5, 0.5, 1.5], [0.5, 1.0, 0.5], [1.5, 0.5, 1.5]])

    everyone = relationship(ids, father, mother)
    for keep in (None, []):
        same = relationship(ids, father, mother, keep=keep)
        assert same[1] == everyone[1] == ["a", "b", "c", "d"]
        np.testing.assert_array_equal(same[0], everyone[0])


@pytest.mark.parametrize("keep, rows, matrix", [
    (None, [], np.zeros((0, 0))),
    ([], [], np.zeros((0, 0))),
])
def test_empty_pedigree(keep, rows, matrix):
    result = relationship([], [], [], keep=keep)
    assert result[1] == rows and result[0].shape == matrix.shape and result[0].dtype == np.float64


def test_one_founder_with_a_label():
    for twin in (None, ["t"]):
        matrix, rows = relationship(["a"], [None], [None], twin)
        assert rows == ["a"] and matrix.tolist() == [[1.0]]


def test_inputs_are_left_unchanged():
    ids, father, mother, keep = ["c", "f", "m"], ["f", None, None], ["m", None, None], ["c", "f"]
    copies = [list(x) for x in (ids, father, mother, keep)]
    relationship(ids, father, mother, keep=keep)
    assert [ids, father, mother, keep] == copies


# --- faults, in the order they are checked -----------------------------------------------------


@pytest.mark.parametrize("ids, father, mother, twin, keep, message", [
    (["a", "b"], [None], [None, None], None, None, "PEDIGREE_LENGTH_MISMATCH"),
    (["a"], [None], [None], [None, None], None, "PEDIGREE_LENGTH_MISMATCH"),
    # the length test comes before any pedigree test
    (["a", "a"], [None, None], [None], None, None, "PEDIGREE_LENGTH_MISMATCH"),
    (["a", "b", "a"], [None, "z", None], [None, None, None], None, None,
     "PEDIGREE_DUPLICATE_ID: a"),
    (["a", "b"], [None, "zz"], [None, None], None, None, "PEDIGREE_ONE_KNOWN_PARENT: b"),
    (["a", "b"], [None, None], [None, "a"], None, None, "PEDIGREE_ONE_KNOWN_PARENT: b"),
    (["a", "c"], [None, ""], [None, "a"], None, None, "PEDIGREE_MISSING_PARENT_RECORD: c names "),
    (["a", "c"], [None, "a"], [None, "A"], None, None, "PEDIGREE_MISSING_PARENT_RECORD: c names A"),
    (["a", "c"], [None, "c"], [None, "zz"], None, None, "PEDIGREE_SELF_PARENT: c"),
    (["a", "c"], [None, "zz"], [None, "c"], None, None, "PEDIGREE_MISSING_PARENT_RECORD: c names zz"),
    (["a", "c"], [None, "a"], [None, "c"], None, None, "PEDIGREE_SELF_PARENT: c"),
    # per person in input order: b's fault is met before c's
    (["a", "b", "c"], [None, "q", None], [None, "q", "a"], None, None,
     "PEDIGREE_MISSING_PARENT_RECORD: b names q"),
    (["a", "b", "c"], ["b", "a", None], ["c", "c", None], None, None, "PEDIGREE_CYCLE: a"),
    (["a", "b", "c"], ["b", "c", None], ["b", "a", None], None, None, "PEDIGREE_CYCLE: a"),
    (["a", "b"], [None, None], [None, None], None, ["a", "x", "y"], "PEDIGREE_UNKNOWN_ID: x"),
    ([], [], [], None, ["q"], "PEDIGREE_UNKNOWN_ID: q"),
    (["A"], [None], [None], None, ["a"], "PEDIGREE_UNKNOWN_ID: a"),
])
def test_faults_and_their_order(ids, father, mother, twin, keep, message):
    with pytest.raises(ValueError) as raised:
        relationship(ids, father, mother, twin, keep)
    assert str(raised.value) == message


@pytest.mark.parametrize("args, kwargs, name, detail", [
    (("ab", ["x"], ["y"]), {}, "ids", "Can't extract `str` to `Vec`"),
    ((["a"], [None], [None]), {"keep": "a"}, "keep", "Can't extract `str` to `Vec`"),
    ((["a"], [None], [None]), {"mz_twin": "a"}, "mz_twin", "Can't extract `str` to `Vec`"),
    (([None], [None], [None]), {}, "ids", None),
    ((["a"], [1], [None]), {}, "father", None),
    ((["a"], [None], 3), {}, "mother", None),
    ((["a"], [None], [None]), {"keep": [None]}, "keep", None),
    # conversion runs in parameter order, before the length test
    ((["a", "b"], [None], [b"x"]), {}, "mother", None),
])
def test_arguments_of_the_wrong_type(args, kwargs, name, detail):
    with pytest.raises(TypeError) as raised:
        relationship(*args, **kwargs)
    assert f"'{name}'" in str(raised.value)
    if detail:
        assert detail in str(raised.value)


def test_docstring():
    assert relationship.__text_signature__ == "(ids, father, mother, mz_twin=None, keep=None)"
    assert relationship.__doc__.splitlines() == [
        "Build the additive relationship matrix from a pedigree held in memory.",
        "",
        "Returns the matrix and the identifiers its rows are in so the caller can",
        "align the response and design before passing the numerical arrays to",
        "`prepare`.",
    ]


# --- depth ---------------------------------------------------------------------------------------


def test_loop_at_the_bottom_of_a_100000_generation_chain():
    n = 100_000
    ids = [f"g{i}" for i in range(n)]
    parents = [f"g{i + 1}" for i in range(n - 1)] + ["g0"]
    with pytest.raises(ValueError, match=r"^PEDIGREE_CYCLE: g0$"):
        relationship(ids, parents, parents)


def test_selfing_chain_of_3000_generations():
    n = 3000
    ids = [f"g{i}" for i in range(n)]  # g0 is the youngest, g{n-1} the founder
    parents = [f"g{i + 1}" for i in range(n - 1)] + [None]
    matrix, rows = relationship(ids, parents, parents)
    assert rows == ids[::-1]
    # t generations of selfing: 1 + F_t = 2 - 2**-t; a parent and its child differ by one step
    np.testing.assert_array_equal(matrix.diagonal()[:8], [2 - 2.0**-t for t in range(8)])
    assert matrix[2, 3] == matrix[2, 2]
    assert matrix[-1, -1] == 2.0
    kept, rows = relationship(ids, parents, parents, keep=["g0", "g2999"])
    np.testing.assert_array_equal(kept, [[2.0, 1.0], [1.0, 1.0]])


def overcommit_mode():
    try:
        with open("/proc/sys/vm/overcommit_memory") as mode:
            return mode.read().strip()
    except OSError:
        return None


# With overcommit left to the heuristic or made strict, a 320 GB matrix is refused up front.
@pytest.mark.skipif(overcommit_mode() not in ("0", "2"), reason="the kernel may promise any size")
def test_matrix_too_large_for_memory_is_a_memory_error():
    n = 200_000
    ids = [str(i) for i in range(n)]
    with pytest.raises(MemoryError):
        relationship(ids, [None] * n, [None] * n)
    matrix, rows = relationship(ids, [None] * n, [None] * n, keep=["7"])
    assert rows == ["7"] and matrix.tolist() == [[1.0]]
