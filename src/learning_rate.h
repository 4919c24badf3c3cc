// What changes the parameters between training iterations: the iteration counters, the
// learning-rate policies with their warm-up, the per-iteration update of every layer, the weight
// moving average and the periodic replacement of near-duplicate convolution filters.
#pragma once
#include "quillon.h"

int get_current_batch(network net);
int get_current_iteration(network net);
float get_current_rate(network net);
int get_sequence_value(network net);
int get_current_seq_subdivisions(network net);

void update_network(network net);

int is_ema_initialized(network net);
void ema_update(network net, float alpha);
void ema_apply(network net);
// The end-of-iteration steps that follow the update: moving average, then filter rejection.
void apply_ema_and_rejection(network net);

void reject_similar_weights(network net, float sim_threshold);
