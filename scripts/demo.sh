#!/usr/bin/env bash
# The README's main job: an approval gate end to end against a local control
# plane. Bootstraps the environment (idempotent), then runs examples/demo.py,
# which starts `vorel-cloud dev`, gates tool calls with the cloud approval
# handlers, approves and denies them through the dashboard, verifies the
# signed approvals and runs doctor(). Exits non-zero if any step fails.
#
#   scripts/demo.sh                 # the dashboard clicks are scripted
#   scripts/demo.sh --interactive   # you click Approve / Deny in a browser
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

echo "== bootstrap (scripts/bootstrap.sh)"
scripts/bootstrap.sh
echo "== demo (examples/demo.py)"
exec .venv/bin/python examples/demo.py "$@"
