"""The README's recipes as a reader copies them: its PromQL through promtool, its Flask route in
Flask, and its server recipes identical to the runnable files in examples/ (which
test_servers.py and test_server_recipes.py run)."""

from __future__ import annotations

import re
import shutil
import subprocess
import textwrap
from pathlib import Path
from typing import Dict, List

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()


def blocks(language: str) -> List[str]:
    return re.findall(rf"^```{language}\n(.*?)^```$", README, re.M | re.S)


def promql_recipes() -> Dict[str, str]:
    """The expressions of the README's PromQL blocks by their titles (the comment above each)."""
    recipes = {}
    for block in blocks("promql"):
        for title, expression in re.findall(r"^# (.*)\n((?:[^#\n].*\n)+)", block, re.M):
            recipes[title] = expression.strip()
    return recipes


def rules_file(path: Path, expressions: List[str]) -> Path:
    rules = "".join(f"      - record: readme_recipe_{i}\n        expr: |\n"
                    + textwrap.indent(expr, " " * 10) + "\n"
                    for i, expr in enumerate(expressions))
    path.write_text("groups:\n  - name: readme\n    rules:\n" + rules)
    return path


@pytest.fixture
def promtool():
    tool = shutil.which("promtool")
    if tool is None:
        pytest.skip("promtool (Debian's prometheus package) is not installed")
    return tool


def test_every_promql_recipe_parses(tmp_path, promtool):
    recipes = list(promql_recipes().values())
    assert len(recipes) == 8
    checked = subprocess.run([promtool, "check", "rules",
                              str(rules_file(tmp_path / "rules.yml", recipes))],
                             capture_output=True, text=True, timeout=60)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "SUCCESS: 8 rules found" in checked.stdout


def test_the_status_class_recipe_groups_by_class(tmp_path, promtool):
    (recipe,) = [r for title, r in promql_recipes().items() if "status class" in title]
    rules = rules_file(tmp_path / "rules.yml", [recipe])
    # Counters that grow by 15 every 15 s: 1 request per second each.
    series = "".join(
        f"      - series: 'vtr_http_requests_total{{method=\"GET\",route=\"/a\",status=\"{s}\"}}'\n"
        "        values: '0+15x40'\n" for s in ("200", "201", "404", "500", "503"))
    tests = tmp_path / "tests.yml"
    tests.write_text(f"""\
rule_files: [{rules}]
evaluation_interval: 15s
tests:
  - interval: 15s
    input_series:
{series}    promql_expr_test:
      - expr: readme_recipe_0
        eval_time: 5m
        exp_samples:
          - labels: 'readme_recipe_0{{class="2xx"}}'
            value: 2
          - labels: 'readme_recipe_0{{class="4xx"}}'
            value: 1
          - labels: 'readme_recipe_0{{class="5xx"}}'
            value: 2
""")
    tested = subprocess.run([promtool, "test", "rules", str(tests)], capture_output=True,
                            text=True, timeout=60)
    assert tested.returncode == 0, tested.stdout + tested.stderr


def test_the_plain_flask_route_serves_the_series_too():
    flask = pytest.importorskip("flask")
    from vantorel import series

    (recipe,) = [b for b in blocks("python") if '@app.route("/metrics")' in b]
    app = flask.Flask("readme")
    exec(compile(recipe, "README.md", "exec"), {"app": app})
    series.observe("GET", "/items/{item_id}", 200, 3.0)
    response = app.test_client().get("/metrics")
    assert response.content_type == "text/plain; version=0.0.4; charset=utf-8"
    text = response.get_data(as_text=True)
    assert "\nvtr_requests_total 0\n" in text
    assert ('vtr_http_requests_total{method="GET",route="/items/{item_id}",status="200"} 1\n'
            in text)


@pytest.mark.parametrize("example, follows", [("gunicorn.conf.py", "sets it up:"),
                                              ("uvicorn_launcher.py", "from a launcher script")])
def test_server_recipes_are_the_examples(example, follows):
    after = README[README.index(follows):]
    shown = re.search(r"^```python\n(.*?)^```$", after, re.M | re.S)[1]
    source = (ROOT / "examples" / example).read_text()
    assert shown == source.split('"""\n\n', 1)[1]  # the example less its docstring
