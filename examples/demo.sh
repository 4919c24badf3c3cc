#!/bin/sh
# The README's demo: prints the layer table of the bundled example network.
set -e
build=${1:-build}
here=$(dirname "$0")/..
"$build/quillon" --help
# Until every kind of the example is built, the table ends at the first layer whose input an
# unbuilt kind could not shape; the command then reports that and exits with status 1.
"$build/quillon" layers "$here/cfg/quillon-tiny.cfg" ||
    echo "demo: the example uses layer kinds that are not built yet (see 'Type not recognized' above)"
