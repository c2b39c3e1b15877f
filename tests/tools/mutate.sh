#!/usr/bin/env bash
# Mutation testing at low priority, so that it can run beside other work:
#   tests/tools/mutate.sh [--base REF] [--count N] [--seed S] [PATH ...]
# (see tests/tools/mutate.py --help). Needs git, a C++17 compiler and network access to the package index.
# Its own setup (clone, environment with the test and dask extras, build) takes about two minutes from an
# empty pip cache, since pyproject.toml pins the AWS libraries as one set; the suite then runs once per mutant.
set -euo pipefail
exec nice -n 10 "${PYTHON:-python3}" "$(dirname "$0")/mutate.py" "$@"
