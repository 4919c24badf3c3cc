#!/bin/sh
# The README's demo: runs the main job on the bundled example.
set -e
build=${1:-build}
here=$(dirname "$0")/..
"$build/quillon" --help
"$build/quillon" layers "$here/cfg/quillon-tiny.cfg"
