// Creating, running and releasing networks.
#include "network.h"

#include "utils.h"

network make_network(int n)
{
    network net = {};
    net.n = n;
    net.layers = (layer *)xcalloc(n, sizeof(layer));
    net.seen = (uint64_t *)xcalloc(1, sizeof(uint64_t));
    net.cuda_graph_ready = (int *)xcalloc(1, sizeof(int));
    net.badlabels_reject_threshold = (float *)xcalloc(1, sizeof(float));
    net.delta_rolling_max = (float *)xcalloc(1, sizeof(float));
    net.delta_rolling_avg = (float *)xcalloc(1, sizeof(float));
    net.delta_rolling_std = (float *)xcalloc(1, sizeof(float));
    net.cur_iteration = (int *)xcalloc(1, sizeof(int));
    net.total_bbox = (uint64_t *)xcalloc(1, sizeof(uint64_t));
    net.rewritten_bbox = (uint64_t *)xcalloc(1, sizeof(uint64_t));
#ifdef QUILLON_GPU
    net.input_gpu = (float **)xcalloc(1, sizeof(float *));
    net.truth_gpu = (float **)xcalloc(1, sizeof(float *));
    net.input16_gpu = (float **)xcalloc(1, sizeof(float *));
    net.output16_gpu = (float **)xcalloc(1, sizeof(float *));
    net.max_input16_size = (size_t *)xcalloc(1, sizeof(size_t));
    net.max_output16_size = (size_t *)xcalloc(1, sizeof(size_t));
#endif
    return net;
}
