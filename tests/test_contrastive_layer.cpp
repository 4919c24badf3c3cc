// The "[contrastive]" layer: its tie to a VUMO head, the pair probabilities, the gradient against
// finite differences of the pair loss it descends, the edge cases of pairing (groups, one or two
// records, no assigned cell), and a network whose head carries embeddings that keep track ids
// across the frames of a generated moving-object sequence.
#include "softmax_layer.h"

#include "detection_fixtures.h"
#include "layer.h"
#include "network.h"
#include "parser.h"
#include "vumo_layer.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kW = 2, kH = 2, kE = 3, kBatch = 2, kArea = kW * kH;

double cosine(const std::vector<double> &a, const std::vector<double> &b)
{
    double ab = 0, aa = 0, bb = 0;
    for (size_t m = 0; m < a.size(); ++m) {
        ab += a[m] * b[m];
        aa += a[m] * a[m];
        bb += b[m] * b[m];
    }
    return ab / std::sqrt(aa * bb);
}

// A head record with one slot per cell and the per-cell ids the loss of a training pass leaves.
struct contrastive_case {
    std::vector<int> tracks = std::vector<int>(kBatch * kArea, -1), classes = std::vector<int>(kBatch * kArea, -1);
    layer head = {};
    layer l;
    std::vector<float> input = std::vector<float>(kBatch * kArea * kE, 0.f);
    std::string printed;
    explicit contrastive_case(float temperature = .5f, int steps = 1)
    {
        head.type = VUMO;
        head.n = 1;
        head.classes = 2;
        head.max_boxes = 10;
        head.truths = 60;
        head.embedding_size = kE;
        head.cell_track_ids = tracks.data();
        head.cell_class_ids = classes.data();
        testing::internal::CaptureStderr();
        l = make_contrastive_layer(kBatch, kW, kH, kE, 1000, kArea * kE, &head);
        printed = testing::internal::GetCapturedStderr();
        l.temperature = temperature;
        l.steps = steps;
        l.cls_normalizer = .8f;
        l.max_delta = FLT_MAX;
        l.contrastive_neg_max = 100;
    }
    ~contrastive_case() { free_layer(l); }
    // A unit embedding for cell index i = b * area + cell.
    void assign(int i, int track, int cls, std::vector<double> z)
    {
        tracks[i] = track;
        classes[i] = cls;
        double len = 0;
        for (double v : z) len += v * v;
        for (int m = 0; m < kE; ++m) input[(i / kArea) * kArea * kE + m * kArea + i % kArea] = (float)(z[m] / std::sqrt(len));
    }
    std::vector<double> z(int i) const
    {
        std::vector<double> v(kE);
        for (int m = 0; m < kE; ++m) v[m] = input[(i / kArea) * kArea * kE + m * kArea + i % kArea];
        return v;
    }
    float delta_at(int i, int m) const { return l.delta[(i / kArea) * kArea * kE + m * kArea + i % kArea]; }
    void train()
    {
        network_state s = {};
        s.input = input.data();
        s.train = 1;
        testing::internal::CaptureStdout();
        forward_contrastive_layer(l, s);
        printed = testing::internal::GetCapturedStdout();
    }
};

TEST(ContrastiveLayer, TakesItsShapeFromTheHead)
{
    contrastive_case cc;
    EXPECT_EQ(cc.l.type, CONTRASTIVE);
    EXPECT_EQ(cc.l.detection_linked, 1);
    EXPECT_EQ(cc.l.embedding_size, kE);
    EXPECT_EQ(cc.l.classes, 2);
    EXPECT_EQ(cc.l.outputs, cc.l.inputs);
    EXPECT_EQ(cc.l.cell_track_ids, cc.tracks.data());
    EXPECT_EQ(cc.printed, "contrastive    2 x   2 x   1 x emb_size    3 x batch:    2  classes =    2, step =    8 \n"
                          "detection \n");
}

TEST(ContrastiveLayer, PairProbabilitiesAreASoftmaxOverTheOtherCell)
{
    std::vector<contrastive_params> r = {
        {.1f, std::exp(.1f / .5f), 0, 0, 2, 0, 0},
        {.5f, std::exp(.5f / .5f), 0, 1, 2, 0, 0},
        {.4f, std::exp(.4f / .5f), 0, 3, 2, 0, 0},
        {.9f, std::exp(.9f / .5f), 0, 0, 1, 0, 0},
    };
    contrastive_pair_probabilities(r.data(), (int)r.size(), .5f);
    const double e0 = std::exp(.2), e1 = std::exp(1.0), e3 = std::exp(.8);
    EXPECT_NEAR(r[0].pair_probability, e0 / (e1 + e3), 1e-6);
    EXPECT_NEAR(r[1].pair_probability, e1 / (e0 + e3), 1e-6);
    EXPECT_NEAR(r[2].pair_probability, e3 / (e0 + e1), 1e-6);
    // Without another record of its cell a pair gets 0.9999, as does one whose ratio exceeds 1.
    EXPECT_FLOAT_EQ(r[3].pair_probability, .9999f);
    r[2].similarity = 2;
    contrastive_pair_probabilities(r.data(), (int)r.size(), .5f);
    EXPECT_FLOAT_EQ(r[2].pair_probability, .9999f);
}

TEST(ContrastiveLayer, GradientDescendsThePairLoss)
{
    contrastive_case cc;
    srand(5);
    auto rnd = [] { return (double)rand() / RAND_MAX - .5; };
    struct cell {
        int i, track, cls;
    };
    const cell cells[] = {{0, 7, 0}, {1, 8, 0}, {3, 9, 1}, {4, 7, 0}, {6, 8, 0}, {7, 9, 1}};
    for (const cell &c : cells) cc.assign(c.i, c.track, c.cls, {rnd(), rnd(), rnd()});
    cc.train();

    const double tau = cc.l.temperature;
    auto paired = [&](int a, int b) { return a != b && cc.tracks[a] >= 0 && cc.tracks[b] >= 0 && cc.classes[a] == cc.classes[b]; };
    // Probability of pair (i, k): its exponential over those of the other cells paired with k.
    auto probability = [&](int i, int k) {
        double sum = 0;
        for (int a = 0; a < kBatch * kArea; ++a)
            if (a != i && paired(a, k)) sum += std::exp(cosine(cc.z(a), cc.z(k)) / tau);
        const double p = std::exp(cosine(cc.z(i), cc.z(k)) / tau) / sum;
        return sum == 0 || p > 1 ? .9999 : p;
    };
    int all = 0, good = 0;
    for (const cell &c : cells) {
        const int i = c.i;
        // The loss of anchor i with the probabilities held: positive pairs weighted by 1 - P,
        // negatives of a positive's class by P.
        auto loss = [&](const std::vector<double> &zi) {
            double f = 0;
            for (int j = 0; j < kBatch * kArea; ++j) {
                if (!paired(i, j) || cc.tracks[j] != cc.tracks[i]) continue;
                f += (1 - probability(i, j)) * cosine(zi, cc.z(j));
                for (int o = 0; o < kBatch * kArea; ++o)
                    if (o != j && paired(i, o) && cc.tracks[o] != cc.tracks[i] && cc.classes[o] == cc.classes[j])
                        f -= probability(i, o) * cosine(zi, cc.z(o));
            }
            return f / tau;  // N - 1 = 1 partner per track
        };
        for (int m = 0; m < kE; ++m) {
            std::vector<double> up = cc.z(i), down = cc.z(i);
            up[m] += 1e-4;
            down[m] -= 1e-4;
            const double expected = cc.l.cls_normalizer * (loss(up) - loss(down)) / 2e-4;
            EXPECT_NEAR(cc.delta_at(i, m), expected, 1e-3) << "cell " << i << " component " << m;
        }
        double same = -10, diff = -10;
        for (int j = 0; j < kBatch * kArea; ++j)
            if (paired(i, j)) {
                double &slot = cc.tracks[j] == cc.tracks[i] ? same : diff;
                slot = std::max(slot, cosine(cc.z(i), cc.z(j)));
            }
        if (same >= -1 && diff >= -1) {
            ++all;
            if (same > diff) ++good;
        }
    }
    for (int i : {2, 5})
        for (int m = 0; m < kE; ++m) EXPECT_EQ(cc.delta_at(i, m), 0.f);
    double squares = 0;
    for (int k = 0; k < cc.l.inputs * kBatch; ++k) squares += (double)cc.l.delta[k] * cc.l.delta[k];
    EXPECT_NEAR(*cc.l.cost, squares, 1e-5 * (1 + squares));
    EXPECT_EQ(*cc.l.loss, (float)(good * 100 / all));
    char line[160];
    snprintf(line, sizeof line, " Contrast accuracy = %f %%, all = %d, good = %d, same = %d, diff = %d \n",
             (float)(good * 100 / all), all, good, all, all);
    EXPECT_EQ(cc.printed.rfind(line, 0), 0u) << cc.printed;
    EXPECT_NE(cc.printed.find(" contrastive loss = "), std::string::npos);
}

TEST(ContrastiveLayer, TwoRecordsPullThePositivesWithFullWeight)
{
    contrastive_case cc;
    cc.assign(0, 4, 1, {1, 2, 2});
    cc.assign(5, 4, 1, {0, 3, 4});
    cc.train();
    const std::vector<double> a = cc.z(0), b = cc.z(5);
    const double s = cosine(a, b);
    for (int m = 0; m < kE; ++m) {
        EXPECT_NEAR(cc.delta_at(0, m), cc.l.cls_normalizer * (b[m] - s * a[m]) / cc.l.temperature, 1e-6);
        EXPECT_NEAR(cc.delta_at(5, m), cc.l.cls_normalizer * (a[m] - s * b[m]) / cc.l.temperature, 1e-6);
    }
    EXPECT_NE(cc.printed.find("all = 0, good = 0"), std::string::npos);
    EXPECT_EQ(*cc.l.loss, -1.f);
}

TEST(ContrastiveLayer, ImagesOfDifferentGroupsNeverPair)
{
    for (int steps : {2, 1}) {  // 2: every image is its own time step
        contrastive_case cc(.5f, steps);
        cc.assign(0, 7, 0, {1, 0, 0});
        cc.assign(1, 8, 1, {0, 1, 0});
        cc.assign(4, 7, 0, {1, 1, 0});
        cc.assign(5, 8, 1, {0, 1, 1});
        cc.train();
        double squares = 0;
        for (int k = 0; k < cc.l.inputs * kBatch; ++k) squares += (double)cc.l.delta[k] * cc.l.delta[k];
        if (steps == 2)
            EXPECT_EQ(squares, 0.0);
        else
            EXPECT_GT(squares, 0.0);
        EXPECT_FLOAT_EQ(*cc.l.cost, (float)squares);
    }
}

TEST(ContrastiveLayer, NothingAssignedAndOutsideTraining)
{
    contrastive_case cc;
    cc.train();
    EXPECT_EQ(*cc.l.loss, -1.f);
    EXPECT_EQ(*cc.l.cost, 0.f);
    EXPECT_EQ(cc.printed, " Contrast accuracy = -1.000000 %, all = 0, good = 0, same = 0, diff = 0 \n"
                          " contrastive loss = 0.000000 \n\n");

    cc.assign(0, 4, 1, {1, 2, 2});
    cc.assign(5, 4, 1, {0, 3, 4});
    network_state s = {};
    s.input = cc.input.data();
    s.train = 0;
    testing::internal::CaptureStdout();
    forward_contrastive_layer(cc.l, s);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    for (int k = 0; k < cc.l.inputs * kBatch; ++k) EXPECT_EQ(cc.l.delta[k], 0.f);
}

TEST(ContrastiveLayerDeathTest, HeadMustBeAVumoLayer)
{
    const std::string path = write_text_file("contrastive_bad.cfg", "[net]\nwidth=2\nheight=2\nchannels=3\nbatch=1\n\n"
                                                                    "[convolutional]\nfilters=6\nsize=1\n\n"
                                                                    "[contrastive]\nvumo_layer=-1\n");
    EXPECT_EXIT(parse_network_cfg_custom(path.c_str(), 1, 0), testing::ExitedWithCode(0), "");
}

// 8 x 8 pictures: channel 0 marks the objects' pixels, channels 1 and 2 carry each object's colour.
// A 1 x 1 convolution turns them into the head's raw values (first six channels) and an embedding
// (last six); two routes split them.
const char *kTrackingCfg = "[net]\nwidth=8\nheight=8\nchannels=3\nbatch=1\n\n"
                           "[convolutional]\nfilters=12\nsize=1\nstride=1\nactivation=linear\n\n"
                           "[route]\nlayers=0\ngroups=2\ngroup_id=1\n\n"
                           "[route]\nlayers=0\ngroups=2\ngroup_id=0\n\n"
                           "[vumo]\nclasses=1\nnum=1\nanchors=1,1\nembedding_layer=1\n\n"
                           "[route]\nlayers=1\n\n"
                           "[contrastive]\nvumo_layer=3\n";

TEST(EmbeddingHead, KeepsTrackIdsAcrossFramesOfAMovingSequence)
{
    const std::string path = write_text_file("tracking.cfg", kTrackingCfg);
    network net = parse_network_cfg_custom(path.c_str(), 1, 0);
    ASSERT_EQ(net.n, 6);
    const layer &head = net.layers[3];
    ASSERT_EQ(head.embedding_size, 6);
    const layer &contrastive = net.layers[5];
    EXPECT_EQ(contrastive.type, CONTRASTIVE);
    EXPECT_EQ(contrastive.cell_track_ids, head.cell_track_ids);
    EXPECT_EQ(contrastive.embedding_size, 6);

    layer &conv = net.layers[0];
    std::fill(conv.weights, conv.weights + 12 * 3, 0.f);
    std::fill(conv.biases, conv.biases + 12, 0.f);
    auto weight = [&](int filter, int channel) -> float & { return conv.weights[filter * 3 + channel]; };
    conv.biases[2] = conv.biases[3] = std::log(3.f);  // boxes three cells wide and high
    for (int f : {4, 5}) {
        weight(f, 0) = 20;
        conv.biases[f] = -10;
    }
    weight(6, 1) = 1;
    weight(7, 2) = 1;

    std::map<int, int> ids_of[2];
    for (int frame = 0; frame < 6; ++frame) {
        image im = make_image(8, 8, 3);
        const int cols[2] = {1 + frame, 6 - frame}, rows[2] = {1, 5};
        for (int o = 0; o < 2; ++o) {
            const int p = rows[o] * 8 + cols[o];
            im.data[p] = 1;
            im.data[64 * (1 + o) + p] = 1;
        }
        network_predict(net, im.data);
        free_image(im);
        int num = 0;
        detection *dets = get_network_boxes(&net, 8, 8, .5f, .5f, nullptr, 1, &num, 0);
        ASSERT_EQ(num, 2) << "frame " << frame;
        ASSERT_NE(dets[0].embeddings, nullptr);
        set_track_id(dets, num, .5f, head.sim_thresh, head.track_ciou_norm, head.track_history_size,
                     head.dets_for_track, head.dets_for_show);
        for (int k = 0; k < num; ++k) {
            const int o = dets[k].embeddings[0] > .5f ? 0 : 1;
            EXPECT_NEAR(dets[k].bbox.x * 8, cols[o] + .5f, 1e-4);
            ids_of[o][frame] = dets[k].track_id;
        }
        free_detections(dets, num);
    }
    // An id is given once an object was matched in enough frames, and kept from then on.
    for (int o = 0; o < 2; ++o)
        for (int frame = 2; frame < 6; ++frame) {
            EXPECT_GT(ids_of[o][frame], 0) << "object " << o << " frame " << frame;
            EXPECT_EQ(ids_of[o][frame], ids_of[o][2]) << "object " << o << " frame " << frame;
        }
    EXPECT_NE(ids_of[0][2], ids_of[1][2]);
    free_network(net);
}

}  // namespace
