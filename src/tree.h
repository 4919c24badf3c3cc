// The class hierarchy used by hierarchical softmax and region layers.
#pragma once
#include "quillon.h"

constexpr int TREE_NAME_SIZE = 256;  // per-node name buffer, terminating zero included
