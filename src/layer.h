// The layer-kind table (one row per LAYER_TYPE: section names and the per-kind entry points that
// the builder, resize_network, the weights reader/writer and the release code dispatch on), and
// the release of what a layer owns.
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstdio>

// Uniform entry-point shapes. A kind whose own function has another shape fills its row with a
// captureless lambda that adapts it.
typedef layer (*layer_parse_fn)(list *options, size_params params);
// Called with the new input width and height, the input values per image (the previous layer's
// outputs) and the network being resized.
typedef void (*layer_resize_fn)(layer *l, int w, int h, int inputs, network *net);
// Reads the layer's arrays from an open weights file; transpose is the file's flag for CONNECTED.
typedef void (*layer_read_weights_fn)(layer l, FILE *fp, int transpose);
// Writes the layer's arrays; save_ema selects the EMA copies where the kind has them.
typedef void (*layer_write_weights_fn)(layer l, FILE *fp, int save_ema);
// Releases the arrays of the kind-specific fields (the common ones are released by free_layer_custom).
typedef void (*layer_free_fn)(layer *l);

struct layer_kind {
    LAYER_TYPE type;
    const char *names[2];  // section names, brackets included; null where the kind has fewer
    layer_parse_fn parse;  // null: the kind is not built (its sections are reported as not recognised)
    layer_resize_fn resize;  // null: the kind cannot be resized
    layer_read_weights_fn read_weights;  // null: the kind stores nothing in the weights file
    layer_write_weights_fn write_weights;
    layer_free_fn free_arrays;  // null: no kind-specific arrays
};

constexpr int LAYER_TYPE_COUNT = IMPLICIT + 1;

// The row of a kind; null for values outside the enumeration. Rows of the unused values (1, 26, 30,
// 34, 35) exist and are empty.
const layer_kind *get_layer_kind(LAYER_TYPE type);

// Maps a section header (after whitespace removal, e.g. "[conv]") to its kind; BLANK when no kind
// has that name. Case-sensitive.
LAYER_TYPE string_to_layer_type(const char *name);

// The builder's do-nothing operation (EMPTY layers, a shortcut merged into an XNOR convolution).
void empty_func(layer l, network_state state);

// Releases a separately allocated sub-layer record and what it owns; null is skipped.
void free_sublayer(layer *l);
