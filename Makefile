# The commands of the README. Each sets everything up on a fresh machine.
.PHONY: setup example test bench clean

setup:
	./scripts/setup.sh

example: setup
	.venv/bin/loomfeather-track --out out/

test: setup
	.venv/bin/python -m pytest
	./scripts/test_newest.sh

# Benchmarks against the usual alternatives; writes benchmarks/RESULTS.md.
# The comparisons are installed into .venv here only (requirements-bench.txt).
bench: setup
	.venv/bin/python -m pip --disable-pip-version-check -q install -r requirements-bench.txt
	.venv/bin/python benchmarks/run.py

clean:
	rm -rf build .venv .venv-newest
