// The softmax classifier: a softmax over groups of the input (consecutive equal groups, or the
// groups of a class hierarchy) with the cross-entropy delta against the truth; and the contrastive
// embedding layer "[contrastive]": in training it compares, by cosine similarity, the embeddings of
// every cell to which its VUMO head assigned a truth, and pulls together those of one track while
// pushing apart those of other tracks of the same class.
#pragma once
#include "parser.h"
#include "quillon.h"

#include <cstdint>

layer parse_softmax(list *options, size_params params);
layer make_softmax_layer(int batch, int inputs, int groups);
void forward_softmax_layer(layer l, network_state state);
void backward_softmax_layer(layer l, network_state state);
// Releases the loss array and the class hierarchy.
void free_softmax_arrays(layer *l);

// One similarity pair; the layout is shared with the device step.
struct contrastive_params {
    float similarity;
    float exp_similarity;
    float pair_probability;
    int32_t anchor_index;
    int32_t other_index;
    int32_t anchor_group;
    int32_t other_group;
};
static_assert(sizeof(contrastive_params) == 28, "seven 4-byte fields");

layer parse_contrastive(list *options, size_params params);
// head: the VUMO head whose per-cell track and class ids the layer reads (shared, not owned).
// Without a head the layer is built unlinked and its forward pass does nothing.
layer make_contrastive_layer(int batch, int w, int h, int c, int classes, int inputs, const layer *head);
void forward_contrastive_layer(layer l, network_state state);
void backward_contrastive_layer(layer l, network_state state);
void free_contrastive_arrays(layer *l);

// Softmax probability of every pair record over the records sharing its other cell.
void contrastive_pair_probabilities(contrastive_params *records, int count, float temperature);
