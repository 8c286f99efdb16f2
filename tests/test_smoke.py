import math

import klov_core


def test_imports_and_sums():
    assert klov_core.__version__ == "0.1.0"
    total = klov_core.aggregate_cost([])
    assert total == 0.0 and math.copysign(1.0, total) == -1.0
    assert klov_core.aggregate_cost([0.1, 0.2, 0.3]) == 0.6000000000000001
