#!/usr/bin/env bash
# libinsane's devices, sources, options and pages (libinsane.py), and no scan-manager left behind by it or by the
# process in which libinsane runs the backend.
. "$(dirname "$0")/lib.sh"
scenario ""
check libinsane 0 "libinsane: passed" "" /usr/bin/python3 "$here/libinsane.py" "$reference"
finish
