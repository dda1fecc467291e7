import os

# The multi-worker mode is read from the environment once per process; the tests that need it
# run in their own subprocesses, so this process always records into its local store only.
os.environ.pop("VTR_MULTIPROC_DIR", None)

import pytest

from vantorel import _core, _native


@pytest.fixture(autouse=True)
def fresh_store():
    _core.clear_requests()
    _core.set_max_requests(10000)
    _native.series_clear()
    yield
    _core.clear_requests()
    _core.set_max_requests(10000)
    _native.series_clear()
