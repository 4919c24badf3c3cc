#!/bin/sh
# The README's demo: runs the main job on the bundled example.
set -e
build=${1:-build}
"$build/quillon" --help
