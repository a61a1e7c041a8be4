#!/bin/sh
# Compares stitch_files with OpenCV's Stitcher on generated photo sets (see
# compare_opencv.py). Usage: bench/compare_opencv.sh [--build DIR] [--runs N] [--sets A,B]
# OpenCV is optional: Debian's python3-opencv (apt-get install python3-opencv).
here=$(dirname "$0")
exec python3 "$here/compare_opencv.py" "$@"
