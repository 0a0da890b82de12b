#!/usr/bin/env bash
# python-sane's pages, feeder batches and options (python_sane.py), and no scan-manager left behind.
. "$(dirname "$0")/lib.sh"
scenario ""
run() { timeout -k 5 240 "$@"; }
check python-sane 0 "python-sane: passed" "" /usr/bin/python3 "$here/python_sane.py" "$reference"
finish
