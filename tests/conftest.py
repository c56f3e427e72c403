"""Fixtures of the Python tests; their helpers live in support.py."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from support import FLOAT_TYPES  # noqa: E402


@pytest.fixture(params=FLOAT_TYPES, ids=lambda t: t.__name__)
def ftype(request):
    return request.param
