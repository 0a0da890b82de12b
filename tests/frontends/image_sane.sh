#!/usr/bin/env bash
# Image::Sane's feeder batches and jam (image_sane.pl), and no scan-manager left behind.
. "$(dirname "$0")/lib.sh"
# The jam's scenario shares the prefix of the usual one, so that the check for simulators left behind sees its
# simulator too.
scenario '<page number="2" at_byte="1000" read_status="4"/>'
mv "$work/scenario.xml" "$work/scenario.xml.jam"
scenario ""
check image-sane 0 "Image::Sane: passed" "" perl "$here/image_sane.pl" "$reference" "$work/scenario.xml.jam"
finish
