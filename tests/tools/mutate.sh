#!/usr/bin/env bash
# Mutation testing at low priority, so that it can run beside other work:
#   tests/tools/mutate.sh [--base REF] [--count N] [--seed S] [PATH ...]
# (see tests/tools/mutate.py --help). Needs git, a C++17 compiler and network access to the package index.
set -euo pipefail
exec nice -n 10 "${PYTHON:-python3}" "$(dirname "$0")/mutate.py" "$@"
