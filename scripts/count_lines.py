"""Count the test suite against the code it tests.

A line counts when it is not blank and not only a comment (``#`` in .py/.pyi,
``//`` in .cpp/.hpp); docstrings count. Prints tests/ against src/ + python/
and their ratio. ``--files`` lists every file's count.
"""
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
COMMENT = {".py": "#", ".pyi": "#", ".cpp": "//", ".hpp": "//"}


def count(path):
    mark = COMMENT[path.suffix]
    return sum(1 for line in path.read_text().splitlines()
               if line.strip() and not line.strip().startswith(mark))


def tally(*dirs):
    files = sorted(p for d in dirs for p in (ROOT / d).rglob("*")
                   if p.suffix in COMMENT and p.is_file())
    return {p.relative_to(ROOT): count(p) for p in files}


def main():
    tests, code = tally("tests"), tally("src", "python")
    if "--files" in sys.argv:
        for name, n in {**code, **tests}.items():
            print(f"{n:6d}  {name}")
    t, c = sum(tests.values()), sum(code.values())
    print(f"tests: {t} lines in {len(tests)} files")
    print(f"code:  {c} lines in {len(code)} files (src/ + python/)")
    print(f"ratio: {100 * t / c:.1f} %")


if __name__ == "__main__":
    main()
