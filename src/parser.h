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

// One bracketed block of a cfg file: its header (whitespace removed, brackets included) and its
// key=value options in file order.
struct section {
    char *type;
    list *options;
};

// The sections of a cfg file in file order; the caller frees each with free_section, then the list.
list *read_cfg(const char *filename);
void free_section(section *s);

// Builds a network from a cfg file. batch > 0 builds for inference with that mini-batch, batch <= 0
// for training with the cfg's; time_steps > 0 overrides the cfg's.
network parse_network_cfg_custom(const char *filename, int batch, int time_steps);
network parse_network_cfg(const char *filename);

// EMPTY layers: a pass-through; the builder shares the previous layer's buffers with it.
layer parse_empty(list *options, size_params params);
