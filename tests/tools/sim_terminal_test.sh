#!/bin/bash
# quorin-sim serial as a job of an interactive shell (see sim_terminal_test.py).
command -v python3 >/dev/null || { echo "skipped: python3 is not installed"; exit 77; }
exec python3 "$(dirname "$0")/sim_terminal_test.py"
