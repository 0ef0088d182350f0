# The two commands of the README. Both set everything up on a fresh machine.
.PHONY: setup example test clean

setup:
	./scripts/setup.sh

example: setup
	.venv/bin/loomfeather-track --out out/

test: setup
	.venv/bin/python -m pytest

clean:
	rm -rf build .venv
