"""Fixtures shared by the test modules."""

import multiprocessing

import pytest


@pytest.fixture(autouse=True)
def reap_children():
    """Kill and join every child process that a test left behind."""
    yield
    for child in multiprocessing.active_children():
        child.kill()
        child.join(10)
