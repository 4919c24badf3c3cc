#!/bin/sh
# Retrains the shapes detector from scratch on a freshly generated dataset and installs the final
# weights as examples/shapes/shapes.weights.
set -e
build=$(cd "${1:-build}" && pwd)
shapes=$(cd "$(dirname "$0")" && pwd)
data=$build/shapes

"$build/shapes_gen" "$data" 2000 200
rm -f "$data"/backup/shapes_*.weights
cd "$build"
"$build/quillon" detector train "$data/shapes.data" "$shapes/shapes.cfg" -dont_show -map
cp "$data/backup/shapes_final.weights" "$shapes/shapes.weights"
"$build/quillon" detector map "$data/shapes.data" "$shapes/shapes.cfg" "$shapes/shapes.weights"
