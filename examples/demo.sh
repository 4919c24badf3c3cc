#!/bin/sh
# The README's demo: generates the shapes validation set, measures the mAP of the bundled shapes
# detector on it and detects the shapes of one picture, drawing them into predictions.jpg.
set -e
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
shapes=$here/examples/shapes
data=$build/shapes_demo

if [ ! -f "$shapes/shapes.weights" ]; then
    echo "demo: $shapes/shapes.weights is missing; train it with 'make demo-train'" >&2
    exit 1
fi
"$build/shapes_gen" "$data" 1 200
cd "$build"
"$build/quillon" detector map "$data/shapes.data" "$shapes/shapes.cfg" "$shapes/shapes.weights"
"$build/quillon" detector test "$data/shapes.data" "$shapes/shapes.cfg" "$shapes/shapes.weights" \
    "$data/valid/00000.jpg" -dont_show -ext_output
echo "demo: detections drawn into $build/predictions.jpg"
