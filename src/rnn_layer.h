// The simple recurrent layer: connected input, self (hidden to hidden) and output sub-layers run
// once per time step. Also the step helpers that every recurrent container uses.
#pragma once
#include "parser.h"
#include "quillon.h"

layer parse_rnn(list *options, size_params params);
// batch is the network batch; the layer runs batch / steps sequences.
layer make_rnn_layer(int batch, int inputs, int hidden, int outputs, int steps, ACTIVATION activation,
                     int batch_normalize, int log);
void forward_rnn_layer(layer l, network_state state);
void backward_rnn_layer(layer l, network_state state);
void update_rnn_layer(layer l, int batch, float learning_rate, float momentum, float decay);
void free_rnn_arrays(layer *l);

// Moves a freshly built sub-layer record to the heap; the container owns it.
layer *own_sublayer(layer l);
// A by-value view of a sub-layer whose per-image buffers (output, delta, batch-norm x and x_norm,
// activation input) start at time step t.
layer sublayer_at_step(const layer *l, int t);
// Runs the view of sub-layer l at step t on the given input, delta target and pass flags.
void forward_sublayer_at_step(const layer *l, int t, float *input, network_state state);
void backward_sublayer_at_step(const layer *l, int t, float *input, float *delta, network_state state);
// The largest workspace that any of the sub-layers needs.
size_t largest_workspace(layer *const *subs, int n);
