"""The harness's pairing, the end-to-end servers and the README's figures. Run with
`python -m pytest bench/test_report.py`.

No timing is asserted here: the tables run with a handful of tiny repeats, only to check that
every table runs and that the README quotes them to the digit."""
import importlib
import re

import e2e
import pytest
from harness import TABLES, Context, Results, Stat, added_ratio, interpreter, load_floor
from harness import paired_difference, paired_ratio
from report import README_BEGIN, README_END, markdown, readme_block, replace_block


class TinyContext(Context):
    repeats = 5
    target_s = 0.0002
    middleware_repeats = 5
    middleware_s = 0.0002


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    ctx = TinyContext(True, load_floor(), str(tmp_path_factory.mktemp("bench")))
    results = Results(interpreter(), True)
    results.load = [1.0, 1.0]
    for name in TABLES:
        if name != "e2e":
            importlib.import_module(name).section(ctx, results)
    # Servers and wrk take seconds: the end-to-end rows from requests per second of two rounds.
    e2e.add_rows(results, results.table("e2e", "end to end", "rps"), {
        "bare": [5000.0, 5100.0], "floor": [4900.0, 4950.0], "vantorel": [4500.0, 4700.0],
        "starlette_exporter": [3700.0, 3650.0]})
    return results


def test_every_readme_figure_is_in_the_tables(results):
    block = " ".join(readme_block([results]).split())  # as wrapped lines read
    document = markdown([results])
    figures = re.findall(r"(\d[\d.,]*)(?:–(\d[\d.,]*))?(×| µs| ns| ms| %)", block)
    assert len(figures) >= 20, block
    for low, high, unit in figures:
        for number in filter(None, (low, high)):
            assert f"{number}{unit}" in document, (number + unit, block)


def test_pairs_follow_the_repeats():
    # "slow" took turns in repeats 0, 3 and 6 only: each is divided by "fast" of the same repeat.
    t = {"slow": Stat.of([10.0, 20.0, 30.0], [0, 3, 6]),
         "fast": Stat.of([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]),
         "base": Stat.of([0.5] * 7)}
    assert paired_ratio(t, "slow", "fast") == 5.0  # median of 10/1, 20/4, 30/7
    assert paired_difference(t, "slow", "fast") == 16.0  # median of 9, 16, 23
    assert added_ratio(t, "slow", "fast", "base") == 19.5 / 3.5  # 9.5, 19.5, 29.5 over 0.5..6.5


README = "# x\n\n## Performance\n\nintro\n\n{begin}\nold figures\n{end}\n\n## Next\n"


@pytest.mark.parametrize("text", [
    README.format(begin="", end=README_END),
    README.format(begin=README_BEGIN, end=""),
    README.format(begin=README_END, end=README_BEGIN),
    README.format(begin=README_BEGIN + "\n" + README_BEGIN, end=README_END),
], ids=["no begin", "no end", "reversed", "two begins"])
def test_a_readme_without_its_markers_is_refused(text):
    with pytest.raises(ValueError):
        replace_block(text, f"{README_BEGIN}\nnew\n{README_END}")


def test_only_the_block_is_replaced():
    text = README.format(begin=README_BEGIN, end=README_END)
    block = f"{README_BEGIN}\nnew figures\n{README_END}"
    replaced = replace_block(text, block)
    assert replaced == text.replace(f"{README_BEGIN}\nold figures\n{README_END}", block)
    assert replace_block(replaced, block) == replaced


@pytest.mark.skipif(bool(e2e.missing()), reason="; ".join(e2e.missing()))
@pytest.mark.parametrize("variant", ["bare", "vantorel"])
def test_a_served_variant_records_what_wrk_counted(variant, tmp_path):
    server_core, wrk_core = e2e.cores()[:2]
    server = e2e.Server(variant, server_core)
    try:
        summary = e2e.wrk(wrk_core, e2e.summary_script(str(tmp_path)), server.port, 1)
    finally:
        recorded = server.stop()
    assert summary["requests"] > 0
    # wrk leaves out the requests still in flight when it stops; the server answered them.
    if variant == "bare":
        assert recorded == 0
    else:
        assert recorded >= min(summary["requests"], 10_000)
