"""The module surface: registration order, provenance attributes, signatures."""

import hashlib
import importlib.util
import inspect
import pathlib
import re

import pytest

from kestrune import _core

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Every name the module registers, in registration order.
FULL_ORDER = [
    "PreparedModel", "weighted_chi2_upper_tail", "relationship", "bivariate_objective",
    "autoregressive_fit", "autoregressive_cells", "bivariate_fit", "bivariate_interval",
    "kinship_classes", "component_fit", "component_interval",
    "component_mean_diagonal_interval", "component_test", "component_equality_test",
    "component_contrasts", "component_blup", "gxe_fit", "gxe_test", "gxe_interval",
    "association_sweep", "discrete_gxe_fit", "discrete_gxe_test",
    "discrete_gxe_correlation_interval", "LatentMediationCore", "latent_mediation_simulate",
    "liability_fit", "liability_interval", "liability_test", "region_log_probability",
    "variant_set_scan", "variant_set_family_scan", "tobit_fit", "tobit_interval", "tobit_test",
    "mixed_bivariate_test", "mixed_bivariate_fit", "mixed_bivariate_interval", "spatial_fit",
    "spatial_statistic", "spatial_interval", "spatial_bootstrap", "spatial_distances",
    "spatial_blup", "bivariate_correlation_test",
    "__release_manifest__", "__cargo_lock__", "__uv_lock__", "__release_manifest_sha256__",
    "__cargo_lock_sha256__", "__uv_lock_sha256__", "__source_commit__", "__source_dirty__",
    "__version__",
]
ATTRIBUTES = FULL_ORDER[-9:]
CLASSES = {"PreparedModel", "LatentMediationCore"}

# The signatures of the functions built so far; later ones join as they land.
SIGNATURES = {
    "weighted_chi2_upper_tail": "(q, weights)",
    "relationship": "(ids, father, mother, mz_twin=None, keep=None)",
    "kinship_classes": "(ids, father, mother, sex, keep=None)",
}


def registered_functions():
    return [name for name in _core.__all__ if name not in CLASSES and name not in ATTRIBUTES]


def test_all_follows_the_registration_order():
    names = _core.__all__
    assert isinstance(names, list)
    assert len(names) == len(set(names))
    assert set(names) <= set(FULL_ORDER)
    assert names == [name for name in FULL_ORDER if name in names]
    assert names[-9:] == ATTRIBUTES
    assert {"PreparedModel", "weighted_chi2_upper_tail", "relationship", "kinship_classes"} <= set(names)
    for name in names:
        assert hasattr(_core, name)


def test_module_docstring_is_empty():
    assert _core.__doc__ == ""


@pytest.mark.parametrize("text, digest, path", [
    ("__release_manifest__", "__release_manifest_sha256__", "release-manifest.toml"),
    ("__cargo_lock__", "__cargo_lock_sha256__", "native-deps.lock"),
    ("__uv_lock__", "__uv_lock_sha256__", "python-deps.lock"),
])
def test_build_texts_and_their_digests(text, digest, path):
    stored = getattr(_core, text)
    assert isinstance(stored, str) and stored.isascii() and stored.endswith("\n")
    assert getattr(_core, digest) == hashlib.sha256(stored.encode("utf-8")).hexdigest()
    assert re.fullmatch("[0-9a-f]{64}", getattr(_core, digest))
    # stored whole and byte for byte, not re-encoded or trimmed
    assert stored == (ROOT / path).read_bytes().decode("ascii")


def test_version_and_source_state():
    assert _core.__version__ == "0.1.1"
    assert re.fullmatch("[0-9a-f]{40}", _core.__source_commit__)
    assert type(_core.__source_dirty__) is bool


@pytest.mark.parametrize("name", registered_functions())
def test_functions_are_bound_to_the_module(name):
    function = getattr(_core, name)
    assert function.__name__ == name
    assert function.__module__ == _core.__name__ == "kestrune._core"
    assert function.__self__ is _core
    assert function.__doc__ is not None and function.__text_signature__ is not None
    assert not function.__doc__.startswith(name + "(")  # the signature line was taken off


@pytest.mark.parametrize("name, text", [
    (name, text) for name, text in SIGNATURES.items() if name in _core.__all__
])
def test_text_signatures(name, text):
    function = getattr(_core, name)
    assert function.__text_signature__ == text
    assert str(inspect.signature(function)) == text


def test_prepared_model_class():
    cls = _core.PreparedModel
    assert cls.__name__ == "PreparedModel"
    assert cls.__module__ == "builtins"
    assert repr(cls) == "<class 'builtins.PreparedModel'>"
    assert cls.__text_signature__ == "(x, k, subject_order_sha256=None)"


def fresh_module(all_value=None):
    """A second module object from the same definition, executed after setting __all__."""
    spec = importlib.util.find_spec("kestrune._core")
    module = importlib.util.module_from_spec(spec)
    if all_value is not None:
        module.__all__ = all_value
    spec.loader.exec_module(module)
    return module


def test_a_second_module_object_gets_every_registration():
    module = fresh_module()
    assert module is not _core
    assert module.__all__ == _core.__all__
    # a class is created once per process; functions are bound to their own module
    assert module.PreparedModel is _core.PreparedModel
    assert module.weighted_chi2_upper_tail.__self__ is module
    assert module.weighted_chi2_upper_tail(0.0, [1.0]) == _core.weighted_chi2_upper_tail(0.0, [1.0])
    assert module.__source_commit__ == _core.__source_commit__


def test_an_existing_all_list_is_appended_to():
    module = fresh_module(["already"])
    assert module.__all__ == ["already"] + _core.__all__


@pytest.mark.parametrize("value", [("already",), "already", {"already": 1}])
def test_an_all_that_is_not_a_list_fails_the_first_registration(value):
    with pytest.raises(TypeError, match="cannot be converted to 'list'"):
        fresh_module(value)


def test_nothing_is_registered_after_the_failure():
    spec = importlib.util.find_spec("kestrune._core")
    module = importlib.util.module_from_spec(spec)
    module.__all__ = ()
    with pytest.raises(TypeError):
        spec.loader.exec_module(module)
    assert module.__all__ == ()
    assert not any(hasattr(module, name) for name in FULL_ORDER)


def test_the_extension_exports_only_its_initialiser():
    import shutil
    import subprocess
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed, so the dynamic symbol table cannot be read")
    listing = subprocess.run([nm, "-D", "--defined-only", _core.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit__core"]
