"""Skipping tests whose module members have not landed in this build."""

import pytest

import quillan._core as core


def missing(*names: str) -> list[str]:
    return [n for n in names if not hasattr(core, n) and not hasattr(core.TdxClient, n)]


def requires(*names: str) -> pytest.MarkDecorator:
    """Skips the test unless quillan._core (or TdxClient) has every one of `names`."""
    absent = missing(*names)
    return pytest.mark.skipif(bool(absent), reason=f"quillan._core has no {', '.join(absent)}")
