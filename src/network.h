// Running a built network on the CPU: the network record and its shared counter cells, the
// forward and backward passes, training on a batch, prediction, changing the batch or the input
// size, inference preparation (batch-norm fusion, XNOR packing), the evaluation copy, recurrent
// state and release.
#pragma once
#include "quillon.h"

// A network of n zeroed layers with its shared one-value counter cells.
network make_network(int n);

int get_network_output_size(network net);
int get_network_input_size(network net);
float *get_network_output(network net);
float get_network_cost(network net);

void forward_network(network net, network_state state);
void backward_network(network net, network_state state);
float train_network_datum(network net, float *x, float *y);
float train_network(network net, data d);
float train_network_waitkey(network net, data d, int wait_key);

void set_batch_network(network *net, int b);
void recalculate_workspace_size(network *net);
int resize_network(network *net, int w, int h);

void copy_weights_net(network net_train, network *net_map);

void reset_recurrent_state(network net);
void save_recurrent_state(network net);
void restore_recurrent_state(network net);

// Detection extraction: candidates of every detection head above thresh, in layer order. The
// exported forms are declared in quillon.h.
int network_num_detections(network *net, float thresh);
int network_num_detections_batch(network *net, float thresh, int batch);
detection *make_network_boxes_batch(network *net, float thresh, int *num, int batch);
void fill_network_detections(network *net, int w, int h, float thresh, float hier, int *map, int relative,
                             detection *dets, int letter);
void fill_network_detections_batch(network *net, int w, int h, float thresh, float hier, int *map, int relative,
                                   detection *dets, int letter, int batch);
