// Learning-rate policies, the per-iteration parameter update over all layers, the moving average
// of convolution parameters and the rejection of near-duplicate filters.
#include "learning_rate.h"

#include "utils.h"
#include "vector_primitives.h"

#include <cmath>
#include <cstdio>
#include <cstring>

int get_current_batch(network net)
{
    return (int)(*net.seen / ((uint64_t)net.batch * (uint64_t)net.subdivisions));
}

int get_current_iteration(network net)
{
    return *net.cur_iteration;
}

float get_current_rate(network net)
{
    const int b = get_current_batch(net);
    const float lr = net.learning_rate;
    if (b < net.burn_in) return (float)(lr * pow((double)((float)b / net.burn_in), (double)net.power));

    // Read as an integer: a record filled from outside may hold a number no enumerator has.
    int policy;
    memcpy(&policy, &net.policy, sizeof policy);
    switch (policy) {
    case CONSTANT:
        return lr;
    case STEP:
        return (float)(lr * pow((double)net.scale, (double)(b / net.step)));
    case EXP:
        return (float)(lr * pow((double)net.gamma, (double)b));
    case POLY:
        return (float)(lr * pow((double)(1 - (float)b / net.max_batches), (double)net.power));
    case STEPS: {
        float rate = lr;
        for (int i = 0; i < net.num_steps; ++i) {
            if (net.steps[i] > b) return rate;
            rate *= net.scales[i];
        }
        return rate;
    }
    case SIG:
        return (float)(lr * (1.0 / (1.0 + exp((double)(net.gamma * (float)(b - net.step))))));
    case RANDOM:
        return (float)(lr * pow((double)random_uniform(0, 1), (double)net.power));
    case SGDR: {
        int cycle = net.sgdr_cycle;
        int start = 0;
        if (cycle < b) {
            do {
                start += cycle;
                cycle *= net.sgdr_mult;
            } while (start + cycle < b);
        }
        return (float)(net.learning_rate_min +
                       0.5 * (lr - net.learning_rate_min) * (1.0 + cos((b - start) * 3.14159265 / cycle)));
    }
    default:
        fprintf(stderr, "Policy is weird!\n");
        return lr;
    }
}

int get_sequence_value(network net)
{
    if (net.sequential_subdivisions == 0) return 1;
    int value = net.subdivisions / net.sequential_subdivisions;
    return value < 1 ? 1 : value;
}

int get_current_seq_subdivisions(network net)
{
    int sub = net.init_sequential_subdivisions;
    if (net.num_steps > 0) {
        const int b = get_current_batch(net);
        for (int i = 0; i < net.num_steps && net.steps[i] <= b; ++i) sub = (int)(sub * net.seq_scales[i]);
    }
    if (sub < 1) sub = 1;
    if (sub > net.subdivisions) sub = net.subdivisions;
    return sub;
}

void update_network(network net)
{
    const int iteration = get_current_batch(net);
    const int update_batch = net.batch * net.subdivisions * get_sequence_value(net);
    const float rate = get_current_rate(net);
    for (int i = 0; i < net.n; ++i) {
        // The step counter and the deform switch live only in the copy handed to the update.
        layer l = net.layers[i];
        if (!l.train) continue;
        l.t = get_current_batch(net);
        if (iteration > net.max_batches / 2) l.deform = 0;
        const bool burnt_in = l.burnin_update == 0 || iteration >= l.burnin_update * net.burn_in;
        if (!burnt_in || l.train_only_bn != 0 || l.dont_update >= iteration) continue;
        if (l.update) l.update(l, update_batch, rate, net.momentum, net.decay);
    }
}

int is_ema_initialized(network net)
{
    for (int i = 0; i < net.n; ++i) {
        const layer &l = net.layers[i];
        if (l.type != CONVOLUTIONAL || !l.weights_ema) continue;
        for (int k = 0; k < l.nweights; ++k) {
            if (!(l.weights_ema[k] == 0)) return 1;
        }
    }
    return 0;
}

void ema_update(network net, float alpha)
{
    for (int i = 0; i < net.n; ++i) {
        const layer &l = net.layers[i];
        if (l.type != CONVOLUTIONAL) continue;
        if (l.weights_ema) {
            for (int k = 0; k < l.nweights; ++k)
                l.weights_ema[k] = (1 - alpha) * l.weights[k] + alpha * l.weights_ema[k];
        }
        for (int k = 0; k < l.n; ++k) {
            if (l.biases_ema && l.biases) l.biases_ema[k] = (1 - alpha) * l.biases[k] + alpha * l.biases_ema[k];
            if (l.scales_ema && l.scales) l.scales_ema[k] = (1 - alpha) * l.scales[k] + alpha * l.scales_ema[k];
        }
    }
}

void ema_apply(network net)
{
    for (int i = 0; i < net.n; ++i) {
        const layer &l = net.layers[i];
        if (l.type != CONVOLUTIONAL) continue;
        if (l.weights_ema) {
            for (int k = 0; k < l.nweights; ++k) l.weights[k] = l.weights_ema[k];
        }
        for (int k = 0; k < l.n; ++k) {
            if (l.biases_ema && l.biases) l.biases[k] = l.biases_ema[k];
            if (l.scales_ema && l.scales) l.scales[k] = l.scales_ema[k];
        }
    }
}

void apply_ema_and_rejection(network net)
{
    const int iteration = *net.cur_iteration;
    if (net.ema_alpha != 0 && iteration >= net.max_batches / 2) {
        if (!is_ema_initialized(net)) {
            ema_update(net, 0);
            printf(" EMA initialization \n");
        }
        const int apply_point = net.max_batches - 1000;
        if (iteration == apply_point) {
            ema_apply(net);
            printf(" ema_apply() \n");
        } else if (iteration < apply_point) {
            ema_update(net, net.ema_alpha);
            printf(" ema_update(), ema_alpha = %f \n", net.ema_alpha);
        }
    }
    if (iteration < net.max_batches * 3 / 4 && net.weights_reject_freq != 0 &&
        iteration % net.weights_reject_freq == 0)
        reject_similar_weights(net, 0.4f);
}

void reject_similar_weights(network net, float sim_threshold)
{
    for (int i = 1; i < net.n; ++i) {
        bool feeds_head = false;
        for (int k = i + 1; k <= i + 3 && k < net.n; ++k) feeds_head |= net.layers[k].type == VUMO;
        if (feeds_head) continue;
        const layer &l = net.layers[i];
        if (l.type != CONVOLUTIONAL || l.activation == LINEAR || l.n < 1 || !l.weights) continue;

        // One filter's run of weights; with groups a filter holds c / groups channels, so walking
        // c channels per filter would run past the end of the array.
        const int filter_size = l.nweights / l.n;
        float max_sim = -1000;
        int w1 = 0, w2 = 0;
        for (int k = 0; k < l.n; ++k) {
            for (int j = k + 1; j < l.n; ++j) {
                const float sim =
                    cosine_similarity(l.weights + (size_t)k * filter_size, l.weights + (size_t)j * filter_size, filter_size);
                if (sim > max_sim) {
                    max_sim = sim;
                    w1 = k;
                    w2 = j;
                }
            }
        }
        printf(" reject_similar_weights: i = %d, l.n = %d, w1 = %d, w2 = %d, sim = %f, thresh = %f \n", i, l.n, w1, w2,
               max_sim, sim_threshold);
        if (max_sim > sim_threshold) {
            printf(" rejecting... \n");
            const float scale = (float)sqrt(2.0 / (l.c * l.size * l.size / (l.groups > 0 ? l.groups : 1)));
            float *filter = l.weights + (size_t)w1 * filter_size;
            for (int k = 0; k < filter_size; ++k) filter[k] = scale * random_uniform(-1, 1);
            if (l.biases) l.biases[w1] = 0;
            if (l.scales) l.scales[w1] = 1;
        }
    }
}
