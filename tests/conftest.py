"""Fixtures and hooks of the test suite; the shared data and helpers are in helpers.py."""

import pytest

from helpers import SETTINGS_FILE, Settings

from astrokite.utils.representable import Representable


@pytest.fixture
def settings():
    """Plain settings for the test, the shipped file restored afterwards."""
    original = SETTINGS_FILE.read_bytes()
    writer = Settings()
    try:
        writer.use()
        yield writer
    finally:
        writer.write_bytes(original)


@pytest.fixture(autouse=True)
def console_styling_restored():
    """Commands run in-process choose the console text's styling for the whole process; each test
    starts from the default (styled)."""
    yield
    Representable.set_styling(True)
