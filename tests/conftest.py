import pytest

import loomfeather_cpp as lf


@pytest.fixture(params=[True, False], ids=["avx", "scalar"])
def simd(request):
    """Run a test with the AVX kernels (where the processor has them) and with the scalar ones."""
    previous = lf._use_avx(request.param)
    yield request.param
    lf._use_avx(previous)
