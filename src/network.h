// Creating, running and releasing networks.
#pragma once
#include "quillon.h"

// A network of n zeroed layers with its shared one-value counter cells.
network make_network(int n);
