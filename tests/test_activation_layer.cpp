// The [activation] layer: construction, its table row, forward and the overwriting backward.
#include "activation_layer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "activation_functions.h"
#include "layer.h"
#include "option_list.h"
#include "utils.h"

namespace {

size_params shape(int batch, int h, int w, int c)
{
    size_params p = {};
    p.batch = batch;
    p.h = h;
    p.w = w;
    p.c = c;
    p.inputs = h * w * c;
    return p;
}

void release(layer &l)
{
    free(l.output);
    free(l.delta);
}

} // namespace

TEST(ActivationLayer, ParseTakesShapeAndName)
{
    list *options = make_list();
    read_option(copy_string("activation=leaky"), options);
    testing::internal::CaptureStderr();
    layer l = parse_activation(options, shape(2, 3, 4, 5));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Activation Layer: 60 inputs\n");
    EXPECT_EQ(l.type, ACTIVE);
    EXPECT_EQ(l.activation, LEAKY);
    EXPECT_EQ(l.batch, 2);
    EXPECT_EQ(l.inputs, 60);
    EXPECT_EQ(l.outputs, 60);
    EXPECT_EQ(l.h, 3);
    EXPECT_EQ(l.w, 4);
    EXPECT_EQ(l.c, 5);
    EXPECT_EQ(l.out_h, 3);
    EXPECT_EQ(l.out_w, 4);
    EXPECT_EQ(l.out_c, 5);
    EXPECT_EQ(l.update, nullptr);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(l.output[i], 0.f);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(l.delta[i], 0.f);
    release(l);
    free_options(options);
}

TEST(ActivationLayer, ParseDefaultsToLinear)
{
    list *options = make_list();
    testing::internal::CaptureStderr();
    layer l = parse_activation(options, shape(1, 1, 1, 4));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "activation: Using default 'linear'\nActivation Layer: 4 inputs\n");
    EXPECT_EQ(l.activation, LINEAR);
    release(l);
    free_options(options);
}

TEST(ActivationLayer, ForwardActivatesAndBackwardOverwrites)
{
    testing::internal::CaptureStderr();
    layer l = make_activation_layer(2, 3, LEAKY);
    testing::internal::GetCapturedStderr();
    std::vector<float> input = {-1, 2, 0.5f, 3, -4, 0};
    network_state state = {};
    state.input = input.data();
    l.forward(l, state);
    const std::vector<float> expected = {-0.1f, 2, 0.5f, 3, -0.4f, 0};
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(l.output[i], expected[i]);
    EXPECT_EQ(input[0], -1.f);

    for (int i = 0; i < 6; ++i) l.delta[i] = 1.f + i;
    std::vector<float> previous(6, 100.f);
    state.delta = previous.data();
    l.backward(l, state);
    EXPECT_EQ(previous, (std::vector<float>{0.1f, 2, 3, 4, 0.5f, 0.6f}));

    // A first layer has no previous delta.
    state.delta = nullptr;
    l.backward(l, state);
    release(l);
}

TEST(ActivationLayer, KindTableRow)
{
    const layer_kind *row = get_layer_kind(ACTIVE);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->parse, parse_activation);
    EXPECT_EQ(row->resize, nullptr);
    EXPECT_EQ(string_to_layer_type("[activation]"), ACTIVE);
}
