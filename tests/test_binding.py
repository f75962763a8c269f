"""The binding layer as every entry point meets it: argument binding, conversion, arrays."""

import sys

import numpy as np
import pytest

from kestrune import _core
from kestrune._core import (LatentMediationCore, PreparedModel, discrete_gxe_test, relationship, spatial_distances,
                            variant_set_scan, weighted_chi2_upper_tail as tail)

X = np.column_stack([np.ones(6), np.arange(6.0)])
K = np.eye(6) + 0.25 * (np.eye(6, k=1) + np.eye(6, k=-1))
Y = np.array([0.3, -1.2, 0.8, 2.1, -0.4, 1.7])
MODEL = PreparedModel(X, K)


# ---- binding: the interpreter's wording, checked in its order -----------------------------

@pytest.mark.parametrize("call, args, kwargs, message", [
    (tail, (), {}, "weighted_chi2_upper_tail() missing 2 required positional arguments: 'q' and 'weights'"),
    (relationship, (), {}, "relationship() missing 3 required positional arguments: 'ids', 'father', and 'mother'"),
    (relationship, ([],), {"father": []}, "relationship() missing 1 required positional argument: 'mother'"),
    (relationship, ([],) * 6, {}, "relationship() takes from 3 to 5 positional arguments but 6 were given"),
    (relationship, ([],) * 3, {"ids": []}, "relationship() got multiple values for argument 'ids'"),
    (relationship, ([],) * 3, {"sex": []}, "relationship() got an unexpected keyword argument 'sex'"),
    # surplus positionals come first, then keywords in the order given, then missing ones
    (relationship, ([],) * 6, {"bogus": 1}, "relationship() takes from 3 to 5 positional arguments but 6 were given"),
    (relationship, ([],) * 3, {"bogus": 1, "ids": []}, "relationship() got an unexpected keyword argument 'bogus'"),
    (relationship, ([],) * 3, {"ids": [], "bogus": 1}, "relationship() got multiple values for argument 'ids'"),
    (relationship, (), {"bogus": 1}, "relationship() got an unexpected keyword argument 'bogus'"),
    (tail, (1.0, [1.0]), {"Q": 1.0}, "weighted_chi2_upper_tail() got an unexpected keyword argument 'Q'"),
    # the constructor binds a tuple and a dict
    (PreparedModel, (), {}, "PreparedModel() missing 2 required positional arguments: 'x' and 'k'"),
    (PreparedModel, (X, K, None, 1), {}, "PreparedModel() takes from 2 to 3 positional arguments but 4 were given"),
    (PreparedModel, (X,), {"x": X, "k": K}, "PreparedModel() got multiple values for argument 'x'"),
    (PreparedModel, (X, K), {"digest": None}, "PreparedModel() got an unexpected keyword argument 'digest'"),
    # a method is named with its class
    (MODEL.fit, (), {}, "PreparedModel.fit() missing 1 required positional argument: 'y'"),
    (MODEL.fit, (Y, "ml", 1), {}, "PreparedModel.fit() takes from 1 to 2 positional arguments but 3 were given"),
    (MODEL.fit, (Y,), {"y": Y}, "PreparedModel.fit() got multiple values for argument 'y'"),
    (MODEL.fit, (Y,), {"method": "ml"}, "PreparedModel.fit() got an unexpected keyword argument 'method'"),
    # a static method binds no instance: every argument counts
    (LatentMediationCore._build, ([],) * 19, {}, "LatentMediationCore._build() takes from 16 to 18 positional arguments but 19 were given"),
    (LatentMediationCore._build, ([],) * 15, {},
     "LatentMediationCore._build() missing 1 required positional argument: 'outcome_prevalences'"),
])
def test_binding_errors(call, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        call(*args, **kwargs)
    assert str(raised.value) == message


def test_keywords_in_any_order_bind_like_positions():
    expected = relationship(["a", "b", "c"], [None, None, "a"], [None, None, "b"], None, ["c", "a"])
    again = relationship(keep=["c", "a"], mother=[None, None, "b"], ids=["a", "b", "c"], father=[None, None, "a"])
    assert again[1] == expected[1] == ["c", "a"]
    np.testing.assert_array_equal(again[0], expected[0])
    assert MODEL.fit(estimator="ml", y=Y)["loglik"] == MODEL.fit(Y, "ml")["loglik"]


# ---- conversion: TypeErrors name the argument, other errors pass unchanged ------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Rows:
    """A sequence by the old protocol: __len__ and __getitem__ only."""

    def __init__(self, values, fail_at=None):
        self.values, self.fail_at = values, fail_at

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise ZeroDivisionError("item unreadable")
        return self.values[i]


class OddTypeError(TypeError):
    pass


class BadFloat:
    def __float__(self):
        raise OddTypeError("own message")


@pytest.mark.parametrize("args", [
    (3, [1, 2]),
    (Index(3), [Index(1), 2.0]),
    (FloatLike(3.0), (FloatLike(1.0), np.float64(2.0))),
    (np.float32(3.0), np.array([1.0, 2.0])),
    (3.0, Rows([1.0, 2.0])),
    (3.0, range(1, 3)),
])
def test_numbers_and_sequences_accepted(args):
    assert tail(*args) == tail(3.0, [1.0, 2.0])


@pytest.mark.parametrize("call, error, message", [
    (lambda: tail(3.0, iter([1.0])), TypeError,
     "argument 'weights': 'list_iterator' object cannot be converted to 'Sequence'"),
    (lambda: tail(3.0, (w for w in [1.0])), TypeError,
     "argument 'weights': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: tail(3.0, {1.0: 1.0}), TypeError, "argument 'weights': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: tail(None, [1.0]), TypeError, "argument 'q': must be real number, not NoneType"),
    (lambda: tail(3.0, [[1.0]]), TypeError, "argument 'weights': must be real number, not list"),
    (lambda: relationship(["a"], [None], [None], keep=[None]), TypeError,
     "argument 'keep': 'NoneType' object cannot be converted to 'str'"),
    (lambda: relationship([b"a"], [None], [None]), TypeError,
     "argument 'ids': 'bytes' object cannot be converted to 'str'"),
    (lambda: PreparedModel(X, K, 1.5), TypeError,
     "argument 'subject_order_sha256': 'float' object cannot be converted to 'str'"),
    (lambda: MODEL.fit(Y, None), TypeError, "argument 'estimator': 'NoneType' object cannot be converted to 'str'"),
    # only a plain TypeError is renamed; everything else reaches the caller as raised
    (lambda: tail(10 ** 400, [1.0]), OverflowError, "int too large to convert to float"),
    (lambda: tail(3.0, Rows([1.0, 2.0], fail_at=1)), ZeroDivisionError, "item unreadable"),
    (lambda: tail(BadFloat(), [1.0]), OddTypeError, "own message"),
    (lambda: relationship(["\ud800"], [None], [None]), UnicodeEncodeError, None),
])
def test_conversion_errors(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message


# A fixed-length sequence: its length is checked before any element is converted.
GXE_K = np.eye(4)
GXE_ENV = np.array([1.0, 2.0, 1.0, 2.0])
GXE_X = np.ones((4, 1))


def levels_call(levels):
    return lambda: discrete_gxe_test(GXE_K, GXE_ENV, GXE_X, np.arange(4.0), "none", levels=levels)


@pytest.mark.parametrize("levels, error, message", [
    ([1.0, 2.0, 3.0], ValueError, "expected a sequence of length 2 (got 3)"),
    ((1.0,), ValueError, "expected a sequence of length 2 (got 1)"),
    (["a", 2.0, None], ValueError, "expected a sequence of length 2 (got 3)"),
    ("ab", TypeError, "argument 'levels': must be real number, not str"),
    (5.0, TypeError, "argument 'levels': 'float' object cannot be converted to 'Sequence'"),
    (iter([1.0, 2.0]), TypeError, "argument 'levels': 'list_iterator' object cannot be converted to 'Sequence'"),
    ([1.0, None], TypeError, "argument 'levels': must be real number, not NoneType"),
    # accepted pairs reach the entry's own check
    ((2, 1), ValueError, "which must be one of gene_by_environment, any_difference, correlation, genetic, residual"),
    (np.array([1.0, 2.0]), ValueError,
     "which must be one of gene_by_environment, any_difference, correlation, genetic, residual"),
    ((Index(1), FloatLike(2.0)), ValueError,
     "which must be one of gene_by_environment, any_difference, correlation, genetic, residual"),
])
def test_fixed_length_sequences(levels, error, message):
    with pytest.raises(error) as raised:
        levels_call(levels)()
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_text_crosses_as_utf8_both_ways():
    ids = ["Åsa", "李", "x\U0001F600"]
    matrix, rows = relationship(ids, [None] * 3, [None] * 3, keep=["x\U0001F600", "Åsa"])
    assert rows == ["x\U0001F600", "Åsa"]
    np.testing.assert_array_equal(matrix, np.eye(2))


# ---- arrays ---------------------------------------------------------------------------------

def unaligned(values):
    raw = bytearray(values.size * 8 + 1)
    view = np.frombuffer(raw, dtype=np.float64, count=values.size, offset=1).reshape(values.shape)
    view[...] = values
    assert not view.flags.aligned
    return view


def odd_strides(values):
    """Elements 12 bytes apart: each one aligned in turn or not, no stride a whole element."""
    base = np.zeros(values.size * 3 // 2 + 2)
    view = np.lib.stride_tricks.as_strided(base, shape=values.shape,
                                           strides=tuple(12 * s // 8 for s in values.strides))
    view[...] = values
    return view


def reversed_strided(values):
    """Every other element of a larger array, in reverse order along each axis."""
    flip = tuple(slice(None, None, -1) for _ in values.shape)
    big = np.zeros(tuple(2 * n for n in values.shape))
    view = big[tuple(slice(None, None, -2) for _ in values.shape)]
    view[...] = values[flip]
    return view[flip]


def read_only(values):
    copy = values.copy()
    copy.flags.writeable = False
    return copy


@pytest.mark.parametrize("make", [unaligned, odd_strides, reversed_strided, read_only,
                                  lambda a: a.view(np.matrix) if a.ndim == 2 else a])
def test_unaligned_read_only_and_subclassed_arrays_read_the_same_values(make):
    expected = MODEL.fit(Y)
    fit = PreparedModel(make(X), make(K)).fit(make(Y))
    assert (fit["h2"], fit["loglik"], fit["beta"]) == (expected["h2"], expected["loglik"], expected["beta"])


@pytest.mark.parametrize("call, message", [
    (lambda: PreparedModel(X.tolist(), K), "argument 'x': expected a NumPy array of float64 with 2 dimensions, got 'list'"),
    (lambda: PreparedModel(memoryview(X), K),
     "argument 'x': expected a NumPy array of float64 with 2 dimensions, got 'memoryview'"),
    (lambda: PreparedModel(X.astype(np.float32), K), "argument 'x': expected an array of dtype float64, got float32"),
    (lambda: PreparedModel(X.astype(">f8"), K), "argument 'x': expected an array of dtype float64, got >f8"),
    (lambda: PreparedModel(X.astype(object), K), "argument 'x': expected an array of dtype float64, got object"),
    (lambda: PreparedModel(X > 0, K), "argument 'x': expected an array of dtype float64, got bool"),
    (lambda: PreparedModel(X.astype(np.complex128), K), "argument 'x': expected an array of dtype float64, got complex128"),
    (lambda: PreparedModel(X[:, 0], K), "argument 'x': expected an array of 2 dimensions, got 1"),
    (lambda: PreparedModel(X, K[None]), "argument 'k': expected an array of 2 dimensions, got 3"),
    # x is taken before k
    (lambda: PreparedModel(X[:, 0], K.astype(np.int64)), "argument 'x': expected an array of 2 dimensions, got 1"),
    (lambda: MODEL.fit(np.float64(1.0)), "argument 'y': expected a NumPy array of float64 with 1 dimension, got 'float64'"),
    (lambda: MODEL.fit(np.array(1.0)), "argument 'y': expected an array of 1 dimension, got 0"),
    (lambda: MODEL.fit(Y[:, None]), "argument 'y': expected an array of 1 dimension, got 2"),
    (lambda: MODEL.fit(Y.astype(np.int64)), "argument 'y': expected an array of dtype float64, got int64"),
])
def test_array_refusals(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_views_are_released_on_every_path():
    x, k, y = X.copy(), K.copy(), Y.copy()
    bad_k = K[:5]
    before = [sys.getrefcount(a) for a in (x, k, y, bad_k)]
    for _ in range(20):
        model = PreparedModel(x, k)
        model.fit(y)
        with pytest.raises(ValueError, match="^FIT_Y_LENGTH_MISMATCH$"):
            model.fit(y[:5])
        with pytest.raises(ValueError, match="^PREPARE_K_NOT_SQUARE$"):
            PreparedModel(x, bad_k)
        with pytest.raises(TypeError):
            PreparedModel(x, k.astype(np.float32))
        with pytest.raises(TypeError):
            PreparedModel(x, k, 5)
    assert [sys.getrefcount(a) for a in (x, k, y, bad_k)] == before
    np.testing.assert_array_equal(x, X)
    np.testing.assert_array_equal(k, K)


@pytest.mark.parametrize("ids, father, mother, expected", [
    ([], [], [], np.zeros((0, 0))),
    (["a"], [None], [None], np.ones((1, 1))),
    (["a", "b", "c"], [None, None, "a"], [None, None, "b"],
     np.array([[1.0, 0.0, 0.5], [0.0, 1.0, 0.5], [0.5, 0.5, 1.0]])),
])
def test_new_arrays_are_c_order_float64_and_owned(ids, father, mother, expected):
    matrix, _ = relationship(ids, father, mother)
    assert type(matrix) is np.ndarray and matrix.dtype == np.float64
    assert matrix.shape == expected.shape
    assert matrix.flags.c_contiguous and matrix.flags.writeable and matrix.flags.owndata
    np.testing.assert_array_equal(matrix, expected)


def test_vector_results_cross_as_lists_of_python_floats():
    beta = MODEL.fit(Y)["beta"]
    assert type(beta) is list and len(beta) == 2 and {type(b) for b in beta} == {float}
    rows = spatial_distances(np.array([0.0, 0.0, 1.0]), np.array([0.0, 1.0, 0.0]))
    assert type(rows) is list and [type(r) for r in rows] == [list] * 3
    assert [len(r) for r in rows] == [3] * 3 and rows[0][0] == 0.0 and rows[0][1] == rows[1][0] > 0.0


# ---- the interval tuple every profile-interval entry returns --------------------------------

def test_interval_tuple_has_nine_fields_in_order_with_absent_flags_as_none():
    from kestrune._core import gxe_interval

    rng = np.random.default_rng(4)
    k = np.kron(np.eye(30), np.full((3, 3), 0.5) + 0.5 * np.eye(3))
    env = rng.uniform(-1, 1, 90)
    x = np.ones((90, 1))
    y = np.repeat(rng.normal(size=30), 3) + rng.normal(size=90)
    record = gxe_interval(k, env, x, y, "exponential", "heritability", 0.0)
    assert [type(v) for v in record] == [float, float, float, bool, bool, float, int, type(None), type(None)]
    estimate, lower, upper, lower_limited, upper_limited, level, failures = record[:7]
    assert lower <= estimate <= upper and level == 0.95 and failures >= 0
    assert upper_limited == (upper == 0.999999) and lower_limited == (lower == 1e-6)


# ---- a list of array views: every element type-tested at once, copied later one by one -----

SCAN_K, SCAN_X = np.eye(6) + 0.3 * (np.eye(6, k=1) + np.eye(6, k=-1)), X


@pytest.mark.parametrize("roots, message", [
    ("ab", "argument 'roots': Can't extract `str` to `Vec`"),
    (7, "argument 'roots': 'int' object cannot be converted to 'Sequence'"),
    ([np.ones((6, 1)), np.ones((6, 1), dtype=np.int64)], "argument 'roots': expected an array of dtype float64, got int64"),
    ((np.ones((6, 1)), np.ones(6)), "argument 'roots': expected an array of 2 dimensions, got 1"),
])
def test_view_list_refusals(roots, message):
    with pytest.raises(TypeError) as raised:
        variant_set_scan([SCAN_K], SCAN_X, Y, roots)
    assert str(raised.value) == message


def test_view_lists_take_any_sequence_and_release_every_view():
    z = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 1.0], [0.0, 0.0], [1.0, 2.0], [2.0, 0.0]])
    bad = np.ones((6, 1), dtype=np.int64)
    expected = variant_set_scan([SCAN_K], SCAN_X, Y, [z, z])
    assert variant_set_scan([SCAN_K], SCAN_X, Y, (z, z)) == expected
    before = sys.getrefcount(z), sys.getrefcount(bad)
    for _ in range(10):
        variant_set_scan([SCAN_K], SCAN_X, Y, [z, z])
        with pytest.raises(TypeError):
            variant_set_scan([SCAN_K], SCAN_X, Y, [z, bad])
        with pytest.raises(ValueError):
            variant_set_scan([SCAN_K], SCAN_X, Y[:-1], [z])
    assert (sys.getrefcount(z), sys.getrefcount(bad)) == before
    assert expected[0]["code"] == "" and z[4, 1] == 2.0


# ---- dense n x n inputs: read in place in any layout, checked in one pass ------------------

# Four families of three scattered over twelve rows, households across them, people at six
# places on a line, and the data every entry below needs. Each entry takes its n x n matrix
# (the relationship, or for the spatial model the distances) and passes every n x n input
# through `lay`.
ORDER = np.array([4, 9, 0, 7, 2, 11, 5, 1, 10, 3, 8, 6])
DENSE_K = (np.kron(np.eye(4), np.full((3, 3), 0.5) + 0.5 * np.eye(3)))[np.ix_(ORDER, ORDER)]
DENSE_H = np.kron(np.eye(6), np.ones((2, 2)))
PLACES = np.repeat([0.0, 1.0, 3.0, 4.0, 7.0, 9.0], 2)[ORDER]
DENSE_D = np.abs(PLACES[:, None] - PLACES[None, :])
_rng = np.random.default_rng(8)
DENSE_X = np.column_stack([np.ones(12), _rng.normal(size=12)])
DENSE_Y = DENSE_X @ [1.0, 0.5] + _rng.normal(size=12)
DENSE_ENV = np.tile([1.0, 2.0], 6)
DENSE_CENSORING = np.array([0, 0, 1, 0, 0, 0, 2, 0, 0, 1, 0, 0], np.int64)
DENSE_STATUS = (DENSE_Y > np.median(DENSE_Y)).astype(float)
TWO_TRAITS = np.kron(np.ones((12, 1)), np.eye(2))
DENSE_MARKERS = _rng.normal(size=(12, 3))
DENSE_ENTRIES = {
    "prepared": (lambda lay, k: PreparedModel(DENSE_X, lay(k)).fit(DENSE_Y), DENSE_K, "PREPARE_K_NOT_FINITE"),
    "components": (lambda lay, k: _core.component_fit([lay(k), lay(DENSE_H)], DENSE_X, DENSE_Y), DENSE_K,
                   "COMPONENTS_MATRIX_NOT_FINITE"),
    "gxe": (lambda lay, k: _core.gxe_fit(lay(k), list(DENSE_ENV + 0.1 * DENSE_Y), DENSE_X, DENSE_Y, "exponential", []),
            DENSE_K, "GXE_RELATIONSHIP_NOT_FINITE"),
    "discrete_gxe": (lambda lay, k: _core.discrete_gxe_fit(lay(k), DENSE_ENV, DENSE_X, DENSE_Y), DENSE_K,
                     "DISCRETE_GXE_NOT_FINITE"),
    "tobit": (lambda lay, k: _core.tobit_fit(lay(k), DENSE_Y, DENSE_CENSORING, np.full(12, 0.5), DENSE_X), DENSE_K,
              "TOBIT_NOT_FINITE"),
    "liability": (lambda lay, k: _core.liability_fit(lay(k), DENSE_STATUS, DENSE_X), DENSE_K, "LIABILITY_NOT_FINITE"),
    "mixed_bivariate": (lambda lay, k: _core.mixed_bivariate_fit(
        lay(k), 0, DENSE_Y, np.zeros(12, np.int64), np.zeros(12), 1, np.zeros(12),
        np.where(DENSE_STATUS > 0, 1, 2).astype(np.int64), np.zeros(12), DENSE_X), DENSE_K,
        "MIXED_BIVARIATE_NOT_FINITE"),
    "bivariate": (lambda lay, k: _core.bivariate_fit(lay(k), [(True, True)] * 12, TWO_TRAITS,
                                                     np.column_stack([DENSE_Y, DENSE_X[:, 1]]).ravel()),
                  DENSE_K, "BIVARIATE_RELATIONSHIP_NOT_FINITE"),
    "spatial": (lambda lay, d: _core.spatial_fit([lay(DENSE_K)], lay(d), DENSE_X, DENSE_Y), DENSE_D,
                "SPATIAL_DISTANCE_NOT_FINITE"),
    "spatial_fixed": (lambda lay, k: _core.spatial_fit([lay(k)], lay(DENSE_D), DENSE_X, DENSE_Y), DENSE_K,
                      "SPATIAL_MATRIX_NOT_FINITE"),
    "autoregressive": (lambda lay, k: _core.autoregressive_fit([lay(k)], list(ORDER % 4), list(ORDER // 4), DENSE_X,
                                                               DENSE_Y), DENSE_K, "AUTOREGRESSIVE_FIXED_NOT_FINITE"),
    "association": (lambda lay, k: _core.association_sweep(lay(k), DENSE_X, DENSE_Y, DENSE_MARKERS, "refitted"),
                    DENSE_K, "ASSOCIATION_NOT_FINITE"),
    "variant_set": (lambda lay, k: _core.variant_set_scan([lay(k), lay(DENSE_H)], DENSE_X, DENSE_Y,
                                                          [DENSE_MARKERS, DENSE_MARKERS[:, :1]]),
                    DENSE_K, "VARIANT_SET_NOT_FINITE"),
}


def strided(a):
    """Every other row and column of a larger array."""
    big = np.full((2 * a.shape[0], 2 * a.shape[1]), -9.0)
    big[::2, ::2] = a
    return big[::2, ::2]


def negative(a):
    """Both strides negative."""
    return np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1]


@pytest.mark.parametrize("lay", [np.asfortranarray, strided, negative, reversed_strided, unaligned],
                         ids=["fortran", "strided", "negative", "reversed_strided", "unaligned"])
@pytest.mark.parametrize("entry", DENSE_ENTRIES)
def test_every_layout_of_a_dense_input_gives_the_c_order_result(entry, lay):
    call, matrix, _ = DENSE_ENTRIES[entry]
    np.testing.assert_equal(call(lay, matrix), call(np.ascontiguousarray, matrix))


@pytest.mark.parametrize("entry", DENSE_ENTRIES)
def test_a_nan_after_an_asymmetry_gives_the_finiteness_code(entry):
    call, matrix, code = DENSE_ENTRIES[entry]
    bad = matrix.copy()
    bad[1, 0] += 0.3
    bad[11, 10] = np.nan
    for lay in (np.ascontiguousarray, np.asfortranarray, negative):
        with pytest.raises(ValueError, match=f"^{code}$"):
            call(lay, bad)


# Views of arrays far too large to copy (2**48 columns of one broadcast value): every entry
# refuses them with the code its checks give, judging their shapes, and their finiteness where
# that comes first, on the view, so nothing is copied and the call returns at once.
WIDE, WIDE_NAN = np.broadcast_to(1.0, (12, 2**48)), np.broadcast_to(np.nan, (12, 2**48))
_ENV_LIST, _ROWS, _COLS = list(DENSE_ENV), list(ORDER % 4), list(ORDER // 4)
_PAIR = (DENSE_K, [(True, True)] * 12, np.broadcast_to(1.0, (24, 2**48)),
         np.column_stack([DENSE_Y, DENSE_X[:, 1]]).ravel())
_CODES_12 = np.zeros(12, np.int64)


@pytest.mark.parametrize("call, code", [
    (lambda: _core.component_fit([DENSE_K, DENSE_H], WIDE, DENSE_Y), "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.component_fit([DENSE_K, DENSE_H], WIDE_NAN, DENSE_Y), "COMPONENTS_DESIGN_NOT_FINITE"),
    (lambda: _core.component_test([DENSE_K, DENSE_H], WIDE, DENSE_Y, 0), "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.component_equality_test([DENSE_K, DENSE_H], WIDE, DENSE_Y, [0, 1]),
     "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.component_interval([DENSE_K, DENSE_H], WIDE, DENSE_Y, 0), "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.component_mean_diagonal_interval([DENSE_K, DENSE_H], WIDE, DENSE_Y, 0),
     "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.component_contrasts([DENSE_K, DENSE_H], WIDE, DENSE_Y, [0, 1]), "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.component_blup([DENSE_K, DENSE_H], WIDE, DENSE_Y, 0), "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.variant_set_scan([DENSE_K], WIDE, DENSE_Y, [DENSE_MARKERS]), "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.variant_set_scan([DENSE_K], WIDE_NAN, DENSE_Y, [DENSE_MARKERS]), "VARIANT_SET_NOT_FINITE"),
    (lambda: _core.variant_set_family_scan([DENSE_K], WIDE, DENSE_Y, [DENSE_MARKERS], [0.0, 0.5]),
     "COMPONENTS_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.spatial_fit([DENSE_K], DENSE_D, WIDE, DENSE_Y), "SPATIAL_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.spatial_fit([DENSE_K], DENSE_D, WIDE_NAN, DENSE_Y), "SPATIAL_DESIGN_NOT_FINITE"),
    (lambda: _core.spatial_fit([WIDE], DENSE_D, DENSE_X, DENSE_Y), "SPATIAL_MATRIX_WRONG_SIZE"),
    (lambda: _core.spatial_statistic([DENSE_K], DENSE_D, WIDE, DENSE_Y), "SPATIAL_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.spatial_interval([DENSE_K], DENSE_D, WIDE, DENSE_Y, "0"), "SPATIAL_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.spatial_bootstrap([DENSE_K], DENSE_D, WIDE, DENSE_Y, 10, 1), "SPATIAL_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.spatial_blup([DENSE_K], DENSE_D, WIDE, DENSE_Y, 0), "SPATIAL_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.autoregressive_fit([DENSE_K], _ROWS, _COLS, WIDE, DENSE_Y), "AUTOREGRESSIVE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.autoregressive_fit([DENSE_K], _ROWS, _COLS, WIDE_NAN, DENSE_Y), "AUTOREGRESSIVE_DESIGN_NOT_FINITE"),
    (lambda: _core.autoregressive_fit([WIDE], _ROWS, _COLS, DENSE_X, DENSE_Y), "AUTOREGRESSIVE_FIXED_WRONG_SIZE"),
    (lambda: _core.gxe_fit(DENSE_K, _ENV_LIST, WIDE, DENSE_Y, "exponential", []), "GXE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.gxe_fit(DENSE_K, _ENV_LIST, WIDE_NAN, DENSE_Y, "exponential", []), "GXE_DESIGN_NOT_FINITE"),
    (lambda: _core.gxe_test(DENSE_K, _ENV_LIST, WIDE, DENSE_Y, "exponential", "variance"),
     "GXE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.gxe_interval(DENSE_K, _ENV_LIST, WIDE, DENSE_Y, "exponential", "correlation", 0.0),
     "GXE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.discrete_gxe_fit(DENSE_K, DENSE_ENV, WIDE, DENSE_Y), "DISCRETE_GXE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.discrete_gxe_fit(DENSE_K, DENSE_ENV, WIDE_NAN, DENSE_Y), "DISCRETE_GXE_NOT_FINITE"),
    (lambda: _core.discrete_gxe_test(DENSE_K, DENSE_ENV, WIDE, DENSE_Y, "genetic"),
     "DISCRETE_GXE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.discrete_gxe_correlation_interval(DENSE_K, DENSE_ENV, WIDE, DENSE_Y),
     "DISCRETE_GXE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.bivariate_fit(*_PAIR), "BIVARIATE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (lambda: _core.bivariate_interval(*_PAIR, "rho_g"), "BIVARIATE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (lambda: _core.bivariate_objective(*_PAIR, [1.0, 1.0, 0.5, 0.5, 0.0, 0.0]),
     "BIVARIATE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (lambda: _core.bivariate_correlation_test(*_PAIR, "rho_g", 0.0), "BIVARIATE_NO_RESIDUAL_DEGREES_OF_FREEDOM"),
    (lambda: _core.tobit_fit(DENSE_K, DENSE_Y, _CODES_12, np.full(12, 0.5), WIDE), "TOBIT_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.tobit_fit(DENSE_K, DENSE_Y, _CODES_12, np.full(12, 0.5), WIDE_NAN), "TOBIT_NOT_FINITE"),
    (lambda: _core.liability_fit(DENSE_K, DENSE_STATUS, WIDE), "LIABILITY_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.mixed_bivariate_fit(DENSE_K, 0, DENSE_Y, _CODES_12, np.zeros(12), 0, DENSE_X[:, 1], _CODES_12,
                                       np.zeros(12), WIDE), "MIXED_BIVARIATE_DESIGN_RANK_DEFICIENT"),
    (lambda: _core.region_log_probability(np.zeros(2), np.ones(2), WIDE), "REGION_SHAPE_INVALID"),
])
def test_a_view_too_large_to_copy_gets_its_code(call, code):
    # A copy of any of these views would not fit in memory: the code must come first.
    with pytest.raises(ValueError, match=f"^{code}$"):
        call()


# The components judge each matrix whole before the next; the variant-set null judges the
# finiteness of every background before any symmetry.
@pytest.mark.parametrize("call, code", [
    (lambda a, b: _core.component_fit([a, b], DENSE_X, DENSE_Y), "COMPONENTS_MATRIX_NOT_SYMMETRIC"),
    (lambda a, b: _core.variant_set_scan([a, b], DENSE_X, DENSE_Y, []), "VARIANT_SET_NOT_FINITE"),
], ids=["components", "variant_set"])
def test_an_asymmetric_matrix_before_a_non_finite_one(call, code):
    asymmetric, not_finite = DENSE_K.copy(), DENSE_K.copy()
    asymmetric[5, 2] += 0.3
    not_finite[0, 1] = np.nan
    with pytest.raises(ValueError, match=f"^{code}$"):
        call(asymmetric, not_finite)
