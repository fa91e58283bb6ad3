#!/usr/bin/env bash
# The README's test command: bootstrap (idempotent), then the whole suite.
# Extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/bootstrap.sh
.venv/bin/python -m pytest -q -p no:cacheprovider "$@"
