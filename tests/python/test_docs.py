"""Every code block of the README and of docs/ runs as written.

Python blocks run in a fresh namespace each (those reading TESSARY_DSN against a database of the test run's own server);
console blocks run their "$ " lines in one shell working folder per page, in order, and each must succeed unless it is
marked "# exits N"."""
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.M | re.S)


def blocks(page: pathlib.Path, language: str) -> list[str]:
    return [m.group(2) for m in BLOCK.finditer(page.read_text()) if m.group(1) == language]


def run_python_blocks(page: pathlib.Path, database: bool) -> None:
    for number, code in enumerate(blocks(page, "python"), 1):
        if ("TESSARY_DSN" in code) != database:
            continue
        try:
            exec(compile(code, f"{page.name} block {number}", "exec"), {"__name__": "__doc_block__"})
        except Exception as e:
            pytest.fail(f"{page.name} python block {number} failed: {e!r}\n{code}")


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_python_blocks_run(page: pathlib.Path, tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    run_python_blocks(page, database=False)


# "print(x)  # <promise>": a comment with "…", or one that starts like a repr ("Decision("), promises the output;
# each "…" stands for any text without spaces.
PROMISE = re.compile(r"^\s*print\(.*#\s*(.*….*?|[A-Z]\w*\(.*?)\s*$")


def promised(output: str, promise: str) -> bool:
    pattern = r"\S*".join(re.escape(part) for part in promise.split("…"))
    return re.fullmatch(pattern, output) is not None


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_python_blocks_print_what_their_comments_promise(page: pathlib.Path, tmp_path: pathlib.Path,
                                                          monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)
    for number, code in enumerate(blocks(page, "python"), 1):
        promises = {n: m.group(1) for n, line in enumerate(code.splitlines(), 1) if (m := PROMISE.match(line))}
        if not promises or "TESSARY_DSN" in code:
            continue
        printed: dict[int, list[str]] = {}

        def record(*values: object, sep: str = " ", **_: object) -> None:
            printed.setdefault(sys._getframe(1).f_lineno, []).append(sep.join(map(str, values)))

        exec(compile(code, f"{page.name} block {number}", "exec"), {"__name__": "__doc_block__", "print": record})
        for line, promise in promises.items():
            assert printed.get(line) and all(promised(o, promise) for o in printed[line]), (page.name, promise, printed.get(line))


@pytest.mark.parametrize("page", [p for p in PAGES if "TESSARY_DSN" in p.read_text()], ids=lambda p: p.name)
def test_database_blocks_run(page: pathlib.Path, pg_dsn: str, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("TESSARY_DSN", pg_dsn)
    run_python_blocks(page, database=True)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_console_blocks_run(page: pathlib.Path, tmp_path: pathlib.Path) -> None:
    commands = [line[2:] for block in blocks(page, "console") for line in block.splitlines() if line.startswith("$ ")]
    if not commands:
        pytest.skip("no console block")
    scripts = pathlib.Path(sys.executable).parent
    if shutil.which("tessary", path=str(scripts)) is None:
        pytest.skip("the tessary command is not installed beside this interpreter")
    env = dict(os.environ, PATH=f"{scripts}{os.pathsep}{os.environ['PATH']}")
    for command in commands:
        marked = re.search(r"#\s*exits (\d+)\s*$", command)
        result = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=tmp_path, env=env,
                                capture_output=True, text=True, timeout=120)
        expected = int(marked.group(1)) if marked else 0
        assert result.returncode == expected, f"{page.name}: $ {command}\n{result.stdout}{result.stderr}"
        assert "Traceback" not in result.stderr, command
