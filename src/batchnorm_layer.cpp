// Batch normalisation on the CPU. The same forward and backward steps serve the stand-alone
// [batchnorm] layer and convolutional layers with batch_normalize set (on their own output).
#include "batchnorm_layer.h"

#include "utils.h"
#include "vector_primitives.h"

layer parse_batchnorm(list *options, size_params params)
{
    return make_batchnorm_layer(params.batch, params.w, params.h, params.c, params.train);
}

layer make_batchnorm_layer(int batch, int w, int h, int c, int train)
{
    fprintf(stderr, "Batch Normalization Layer: %d x %d x %d image\n", w, h, c);
    layer l = {};
    l.type = BATCHNORM;
    l.batch = batch;
    l.train = train;
    l.h = l.out_h = h;
    l.w = l.out_w = w;
    l.c = l.out_c = c;
    l.inputs = l.outputs = h * w * c;
    l.learning_rate_scale = 1;

    l.output = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.delta = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.x = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));
    l.x_norm = (float *)xcalloc((size_t)batch * l.outputs, sizeof(float));

    l.biases = (float *)xcalloc(c, sizeof(float));
    l.bias_updates = (float *)xcalloc(c, sizeof(float));
    l.scales = (float *)xcalloc(c, sizeof(float));
    l.scale_updates = (float *)xcalloc(c, sizeof(float));
    for (int i = 0; i < c; ++i) l.scales[i] = 1;
    l.mean = (float *)xcalloc(c, sizeof(float));
    l.variance = (float *)xcalloc(c, sizeof(float));
    l.mean_delta = (float *)xcalloc(c, sizeof(float));
    l.variance_delta = (float *)xcalloc(c, sizeof(float));
    l.rolling_mean = (float *)xcalloc(c, sizeof(float));
    l.rolling_variance = (float *)xcalloc(c, sizeof(float));

    l.forward = forward_batchnorm_layer;
    l.backward = backward_batchnorm_layer;
    l.update = update_batchnorm_layer;
    return l;
}

void forward_batchnorm_layer(layer l, network_state state)
{
    if (l.type == BATCHNORM) copy_cpu(l.outputs * l.batch, state.input, l.output);
    if (l.type == CONNECTED) {
        l.out_c = l.outputs;
        l.out_h = l.out_w = 1;
    }
    const int spatial = l.out_h * l.out_w;
    // The batch statistics need the training arrays; a layer frozen below stopbackward has none
    // and normalises with its running averages even in a training pass.
    if (state.train && l.x) {
        mean_cpu(l.output, l.batch, l.out_c, spatial, l.mean);
        variance_cpu(l.output, l.mean, l.batch, l.out_c, spatial, l.variance);

        scal_cpu(l.out_c, .9f, l.rolling_mean, 1);
        axpy_cpu(l.out_c, .1f, l.mean, 1, l.rolling_mean, 1);
        scal_cpu(l.out_c, .9f, l.rolling_variance, 1);
        axpy_cpu(l.out_c, .1f, l.variance, 1, l.rolling_variance, 1);

        copy_cpu(l.outputs * l.batch, l.output, l.x);
        normalize_cpu(l.output, l.mean, l.variance, l.batch, l.out_c, spatial);
        copy_cpu(l.outputs * l.batch, l.output, l.x_norm);
    } else {
        normalize_cpu(l.output, l.rolling_mean, l.rolling_variance, l.batch, l.out_c, spatial);
    }
    scale_bias(l.output, l.scales, l.batch, l.out_c, spatial);
    add_bias(l.output, l.biases, l.batch, l.out_c, spatial);
}

void backward_batchnorm_layer(layer l, network_state state)
{
    const int spatial = l.out_h * l.out_w;
    // The shift's gradient is the plain sum of the incoming delta; forming it here lets a
    // CPU-only build learn the biases of normalised layers as the device path does.
    backward_bias(l.bias_updates, l.delta, l.batch, l.out_c, spatial);
    backward_scale_cpu(l.x_norm, l.delta, l.batch, l.out_c, spatial, l.scale_updates);
    scale_bias(l.delta, l.scales, l.batch, l.out_c, spatial);

    mean_delta_cpu(l.delta, l.variance, l.batch, l.out_c, spatial, l.mean_delta);
    variance_delta_cpu(l.x, l.delta, l.mean, l.variance, l.batch, l.out_c, spatial, l.variance_delta);
    normalize_delta_cpu(l.x, l.mean, l.variance, l.mean_delta, l.variance_delta, l.batch, l.out_c, spatial, l.delta);
    if (l.type == BATCHNORM && state.delta) copy_cpu(l.outputs * l.batch, l.delta, state.delta);
}

void update_batchnorm_layer(layer l, int batch, float learning_rate, float momentum, float decay)
{
    const float rate = learning_rate * l.learning_rate_scale / batch;
    axpy_cpu(l.c, rate, l.bias_updates, 1, l.biases, 1);
    scal_cpu(l.c, momentum, l.bias_updates, 1);
    axpy_cpu(l.c, rate, l.scale_updates, 1, l.scales, 1);
    scal_cpu(l.c, momentum, l.scale_updates, 1);
}

void resize_batchnorm_layer(layer *l, int w, int h)
{
    l->w = l->out_w = w;
    l->h = l->out_h = h;
    l->inputs = l->outputs = w * h * l->c;
    const size_t bytes = (size_t)l->batch * l->outputs * sizeof(float);
    l->output = (float *)xrealloc(l->output, bytes);
    l->delta = (float *)xrealloc(l->delta, bytes);
    l->x = (float *)xrealloc(l->x, bytes);
    l->x_norm = (float *)xrealloc(l->x_norm, bytes);
}

void load_batchnorm_weights(layer l, FILE *fp)
{
    if (fread(l.biases, sizeof(float), l.c, fp) != (size_t)l.c) return;
    if (fread(l.scales, sizeof(float), l.c, fp) != (size_t)l.c) return;
    if (fread(l.rolling_mean, sizeof(float), l.c, fp) != (size_t)l.c) return;
    if (fread(l.rolling_variance, sizeof(float), l.c, fp) != (size_t)l.c) return;
}

void save_batchnorm_weights(layer l, FILE *fp)
{
    fwrite(l.biases, sizeof(float), l.c, fp);
    fwrite(l.scales, sizeof(float), l.c, fp);
    fwrite(l.rolling_mean, sizeof(float), l.c, fp);
    fwrite(l.rolling_variance, sizeof(float), l.c, fp);
}
