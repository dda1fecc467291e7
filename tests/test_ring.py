"""The request store's slots: method and path kept in one buffer per slot, inside the slot when
short and on the heap when long, and slots rewritten in place once the store is full."""
import pytest

from vantorel import _core


def stored():
    return [(r.method, r.path, r.status_code, r.duration_ms) for r in _core.get_requests()]


def text(size, seed):
    """Distinct characters all along, so that a byte copied to the wrong place shows."""
    return "".join(chr(33 + (seed * 7 + i) % 90) for i in range(size))


# Around every width of the short copies (1-3, 4-7, 8-15, 16-32 bytes, then longer), around the 40
# bytes a slot holds inline, and around the heap buffer that a slot keeps for reuse (1024 bytes).
SIZES = [0, 1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 37, 40, 41, 64, 1000, 1024, 1025, 3000]


def test_every_size_of_method_and_path_round_trips():
    expected = [(text(m, i), text(p, 50 + j), 200 + i, float(j))
                for i, m in enumerate(SIZES) for j, p in enumerate(SIZES)]
    _core.set_max_requests(len(expected))
    for item in expected:
        _core.record_request(*item)
    assert stored() == expected


@pytest.mark.parametrize("limit", [1, 3, 7], ids=["one-slot", "three-slots", "seven-slots"])
def test_rewritten_slots_take_texts_of_any_size(limit):
    # Each slot is rewritten many times: heap to inline, inline to heap, a heap buffer reused for a
    # shorter text and one released for a much shorter one, non-ASCII texts among them.
    _core.set_max_requests(limit)
    sizes = [5000, 10, 2000, 3, 1500, 0, 41, 40, 1025, 1024, 900, 2, 4000, 2100, 33, 5000, 1]
    history = []
    for k, size in enumerate(sizes * 3):
        method = "GET" if k % 4 else text(size % 50, k)
        path = text(size, k) if k % 5 else "/\u00e9\u4e2d" + text(size, k) + "\U0001f600"
        history.append((method, path, k, k / 2))
        _core.record_request(*history[-1])
        assert stored() == history[-limit:]


def test_lowering_the_limit_below_the_capacity_keeps_order_and_texts():
    # With free slots behind the newest record, the oldest slot's buffer moves to the back.
    _core.set_max_requests(8)
    history = [(text(i * 13, i), text(100 * i, i + 1), i, float(i)) for i in range(8)]
    for item in history:
        _core.record_request(*item)
    _core.set_max_requests(4)
    assert stored() == history[-4:]
    for i in range(8, 14):
        history.append((text(i * 7 % 45, i), text(i * 300 % 1100, i), i, float(i)))
        _core.record_request(*history[-1])
        assert stored() == history[-4:]
    _core.set_max_requests(8)
    for i in range(14, 17):
        history.append(("PUT", text(i, i), i, float(i)))
        _core.record_request(*history[-1])
    assert stored() == history[-7:]
