// The layer-kind table (numbering, section names) and what releasing a layer frees.
#include "layer.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

TEST(LayerKinds, NumberingIsFixed)
{
    struct {
        LAYER_TYPE type;
        int value;
    } cases[] = {{CONVOLUTIONAL, 0}, {CONNECTED, 2}, {MAXPOOL, 3},  {LOCAL_AVGPOOL, 4}, {SOFTMAX, 5},
                 {DETECTION, 6},     {DROPOUT, 7},   {CROP, 8},     {ROUTE, 9},         {COST, 10},
                 {NORMALIZATION, 11}, {AVGPOOL, 12}, {LOCAL, 13},   {SHORTCUT, 14},     {SCALE_CHANNELS, 15},
                 {SAM, 16},          {ACTIVE, 17},   {RNN, 18},     {GRU, 19},          {LSTM, 20},
                 {CONV_LSTM, 21},    {HISTORY, 22},  {CRNN, 23},    {BATCHNORM, 24},    {NETWORK, 25},
                 {REGION, 27},       {VUMO, 28},     {GAUSSIAN_VUMO, 29}, {REORG, 31},  {REORG_OLD, 32},
                 {UPSAMPLE, 33},     {EMPTY, 36},    {BLANK, 37},   {CONTRASTIVE, 38},  {IMPLICIT, 39}};
    for (auto &c : cases) {
        EXPECT_EQ((int)c.type, c.value);
        ASSERT_NE(get_layer_kind(c.type), nullptr);
        EXPECT_EQ(get_layer_kind(c.type)->type, c.type);
    }
    EXPECT_EQ(sizeof(LAYER_TYPE), 4u);
    EXPECT_EQ(LAYER_TYPE_COUNT, 40);
    for (int gap : {1, 26, 30, 34, 35}) {
        const layer_kind *k = get_layer_kind((LAYER_TYPE)gap);
        ASSERT_NE(k, nullptr);
        EXPECT_EQ(k->names[0], nullptr);
        EXPECT_EQ(k->parse, nullptr);
    }
    EXPECT_EQ(get_layer_kind((LAYER_TYPE)40), nullptr);
}

TEST(LayerKinds, SectionNames)
{
    struct {
        const char *name;
        LAYER_TYPE type;
    } cases[] = {
        {"[convolutional]", CONVOLUTIONAL}, {"[conv]", CONVOLUTIONAL}, {"[connected]", CONNECTED},
        {"[conn]", CONNECTED},              {"[maxpool]", MAXPOOL},     {"[max]", MAXPOOL},
        {"[local_avgpool]", LOCAL_AVGPOOL}, {"[local_avg]", LOCAL_AVGPOOL}, {"[softmax]", SOFTMAX},
        {"[soft]", SOFTMAX},                {"[detection]", DETECTION}, {"[dropout]", DROPOUT},
        {"[crop]", CROP},                   {"[route]", ROUTE},         {"[cost]", COST},
        {"[normalization]", NORMALIZATION}, {"[lrn]", NORMALIZATION},   {"[avgpool]", AVGPOOL},
        {"[avg]", AVGPOOL},                 {"[local]", LOCAL},         {"[shortcut]", SHORTCUT},
        {"[scale_channels]", SCALE_CHANNELS}, {"[sam]", SAM},           {"[activation]", ACTIVE},
        {"[rnn]", RNN},                     {"[gru]", GRU},             {"[lstm]", LSTM},
        {"[conv_lstm]", CONV_LSTM},         {"[history]", HISTORY},     {"[crnn]", CRNN},
        {"[batchnorm]", BATCHNORM},         {"[net]", NETWORK},         {"[network]", NETWORK},
        {"[region]", REGION},               {"[vumo]", VUMO},           {"[Gaussian_vumo]", GAUSSIAN_VUMO},
        {"[reorg3d]", REORG},               {"[reorg]", REORG_OLD},     {"[upsample]", UPSAMPLE},
        {"[empty]", EMPTY},                 {"[silence]", EMPTY},       {"[contrastive]", CONTRASTIVE},
        {"[implicit]", IMPLICIT},
        // Case matters and nothing else is recognised.
        {"[Convolutional]", BLANK},         {"[gaussian_vumo]", BLANK}, {"[Net]", BLANK},
        {"[conv", BLANK},                   {"conv", BLANK},            {"", BLANK},
        {"[blank]", BLANK},
    };
    for (auto &c : cases) EXPECT_EQ(string_to_layer_type(c.name), c.type) << c.name;
}

namespace {

float *floats(int n) { return (float *)xcalloc(n, sizeof(float)); }

// A layer owning every common array.
layer owning_layer()
{
    layer l = {};
    l.input_layers = (int *)xcalloc(2, sizeof(int));
    l.cost = floats(1);
    float **arrays[] = {&l.biases,  &l.bias_updates, &l.scales,     &l.scale_updates,  &l.weights_ema,
                        &l.biases_ema, &l.scales_ema, &l.weights,    &l.weight_updates, &l.delta,
                        &l.output,  &l.activation_input, &l.mean,   &l.variance,       &l.mean_delta,
                        &l.variance_delta, &l.rolling_mean, &l.rolling_variance, &l.x, &l.x_norm};
    for (float **a : arrays) *a = floats(4);
    return l;
}

}  // namespace

// Run under the sanitizer build, these tests also prove that nothing leaks and nothing is freed twice.
TEST(FreeLayer, ReleasesEveryArrayIncludingEmaCopies)
{
    layer l = owning_layer();
    l.type = CONVOLUTIONAL;
    free_layer(l);
    layer m = owning_layer();
    free_layer_custom(m, 1);
}

TEST(FreeLayer, SharedWeightsStayWithTheirOwner)
{
    layer owner = owning_layer();
    owner.type = CONVOLUTIONAL;
    layer user = {};
    user.type = CONVOLUTIONAL;
    user.share_layer = &owner;
    for (float *layer::*shared : {&layer::weights, &layer::weight_updates, &layer::biases, &layer::bias_updates,
                                  &layer::scales, &layer::scale_updates, &layer::mean, &layer::variance,
                                  &layer::rolling_mean, &layer::rolling_variance})
        user.*shared = owner.*shared;
    // Its own activations are released with it.
    user.output = floats(4);
    user.delta = floats(4);
    user.x = floats(4);
    free_layer(user);
    owner.weights[3] = 1;
    owner.rolling_variance[3] = 2;
    EXPECT_EQ(owner.weights[3], 1);
    free_layer(owner);
}

TEST(FreeLayer, SubLayers)
{
    layer *blur = (layer *)xcalloc(1, sizeof(layer));
    *blur = owning_layer();
    layer conv = owning_layer();
    conv.antialiasing = 1;
    conv.input_layer = blur;
    free_layer(conv);
    free_sublayer(nullptr);

    // A CRNN's output and delta are its output sub-layer's: released once, by the sub-layer.
    layer crnn = {};
    crnn.type = CRNN;
    layer *parts[3];
    for (layer *&p : parts) {
        p = (layer *)xcalloc(1, sizeof(layer));
        *p = owning_layer();
    }
    crnn.input_layer = parts[0];
    crnn.self_layer = parts[1];
    crnn.output_layer = parts[2];
    crnn.output = parts[2]->output;
    crnn.delta = parts[2]->delta;
    free_layer(crnn);
}

TEST(FreeLayer, PassThroughLayersReleaseNothingBorrowed)
{
    // Borrowed buffers that are not heap blocks: freeing them would crash.
    float borrowed_output[4], borrowed_delta[4];
    for (LAYER_TYPE t : {DROPOUT, EMPTY}) {
        layer l = {};
        l.type = t;
        l.output = borrowed_output;
        l.delta = borrowed_delta;
        free_layer(l);
    }
}

TEST(FreeLayer, ZeroRecordIsReleasable)
{
    layer l = {};
    free_layer(l);
    l.type = (LAYER_TYPE)26;
    free_layer(l);
}
