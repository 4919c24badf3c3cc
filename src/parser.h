// The network builder: cfg sections to a ready network, one layer parser per kind.
#pragma once
#include "list.h"
#include "option_list.h"
#include "quillon.h"

// What the builder hands to every layer parser: the shape produced by the previous layer.
struct size_params {
    int batch;
    int inputs;
    int h;
    int w;
    int c;
    int index;
    int time_steps;
    int train;
    network net;
};

// Every layer kind's parser has this shape: layer parse_<kind>(list *options, size_params params);
