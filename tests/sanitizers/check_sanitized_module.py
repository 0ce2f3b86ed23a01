"""pytest plugin of scripts/test_python_sanitized.sh: stops the session unless
`import morvend` finds the sanitized build, so that the run cannot pass
against the regular install without anyone noticing."""

import os

import pytest


def pytest_configure(config):
    import morvend

    expected = os.environ.get("MORVEND_SANITIZED_MODULE", "")
    found = os.path.realpath(morvend.__file__)
    if not expected or found != os.path.realpath(expected):
        raise pytest.UsageError(f"morvend comes from {found}, not from the sanitized build {expected!r}")


def pytest_report_header(config):
    import morvend

    return f"morvend (sanitized): {morvend.__file__}"
