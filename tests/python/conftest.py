"""Shared pytest hooks for the module's tests."""

import os

import pytest

# ---------------------------------------------------------------- slow and sanitized runs
#
# `slow`: long runs (the leak test calls every callable 10^5 times). A quick
# `pytest tests/python` skips them; `--slow` or VALDRIX_SLOW=1 runs them, and
# `make test` does.
#
# `no_sanitizer`: tests whose measurement means nothing under AddressSanitizer
# (resident memory, with its quarantine and shadow pages) or that would only
# be slow there. The sanitized run (`make sanitize`) sets VALDRIX_SANITIZED=1.

SANITIZED = os.environ.get("VALDRIX_SANITIZED") == "1"


def pytest_addoption(parser):
    parser.addoption("--slow", action="store_true", default=False, help="also run the tests marked slow")


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: long run, skipped unless --slow or VALDRIX_SLOW=1")
    config.addinivalue_line("markers", "no_sanitizer: skipped in the AddressSanitizer run")


def pytest_collection_modifyitems(config, items):
    run_slow = config.getoption("--slow") or os.environ.get("VALDRIX_SLOW") == "1"
    skip_slow = pytest.mark.skip(reason="slow: run with --slow or VALDRIX_SLOW=1")
    skip_san = pytest.mark.skip(reason="meaningless or too slow under the sanitizers")
    for item in items:
        if "slow" in item.keywords and not run_slow:
            item.add_marker(skip_slow)
        if "no_sanitizer" in item.keywords and SANITIZED:
            item.add_marker(skip_san)
