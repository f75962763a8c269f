"""Quantitative genetics in families: heritability and variance structure."""

from kestrune import _core

__version__ = _core.__version__
