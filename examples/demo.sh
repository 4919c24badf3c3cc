#!/bin/sh
# The README's demo: prints the layer table of the bundled example network.
set -e
build=${1:-build}
here=$(dirname "$0")/..
"$build/quillon" --help
"$build/quillon" layers "$here/cfg/quillon-tiny.cfg"
