// "[reorg]": the permutation of "[reorg3d]" handed the input geometry instead of the output one,
// which orders the moved values differently; kept for networks trained with it.
#include "reorg_old_layer.h"

#include "reorg_layer.h"
#include "utils.h"

#include <cstdio>

layer parse_reorg_old(list *options, size_params params)
{
    printf("\n reorg_old \n");
    const int stride = option_find_int(options, "stride", 1);
    const int reverse = option_find_int_quiet(options, "reverse", 0);
    if (!params.h || !params.w || !params.c) quillon_error("Layer before reorg layer must output image.");
    check_reorg_channels("[reorg]", params.c, stride);
    // The permutation covers the whole input; a smaller output would be written past its end.
    if (!reverse && (params.w % stride || params.h % stride))
        quillon_error("[reorg]: width and height must be multiples of the stride");
    return make_reorg_old_layer(params.batch, params.w, params.h, params.c, stride, reverse);
}

layer make_reorg_old_layer(int batch, int w, int h, int c, int stride, int reverse)
{
    layer l = {};
    l.type = REORG_OLD;
    l.batch = batch;
    l.stride = stride;
    l.reverse = reverse;
    l.c = c;
    reorg_shape(l, w, h);
    fprintf(stderr, "reorg_old              /%2d  %4d x%4d x%4d   ->  %4d x%4d x%4d\n", stride, w, h, c, l.out_w,
            l.out_h, l.out_c);
    const size_t count = (size_t)l.outputs * batch;
    l.output = (float *)xcalloc(count, sizeof(float));
    l.delta = (float *)xcalloc(count, sizeof(float));
    l.forward = forward_reorg_old_layer;
    l.backward = backward_reorg_old_layer;
    return l;
}

void resize_reorg_old_layer(layer *l, int w, int h)
{
    reorg_shape(*l, w, h);
    const size_t count = (size_t)l->outputs * l->batch;
    l->output = (float *)xrealloc(l->output, count * sizeof(float));
    l->delta = (float *)xrealloc(l->delta, count * sizeof(float));
}

void forward_reorg_old_layer(layer l, network_state state)
{
    reorg_cpu(state.input, l.w, l.h, l.c, l.batch, l.stride, l.reverse ? 1 : 0, l.output);
}

void backward_reorg_old_layer(layer l, network_state state)
{
    if (!state.delta) return;
    reorg_cpu(l.delta, l.w, l.h, l.c, l.batch, l.stride, l.reverse ? 0 : 1, state.delta);
}
