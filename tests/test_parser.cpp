// The cfg reader and the network builder: sections, the [net] keys with their defaults and derived
// values, the dispatch through the layer-kind table, the builder's wiring and its messages.
#include "layer.h"
#include "network.h"
#include "parser.h"
#include "utils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct TempFile {
    std::string path;
    explicit TempFile(const std::string &text)
    {
        char name[] = "/tmp/quillon_cfg_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        if (write(fd, text.data(), text.size()) != (ssize_t)text.size()) ADD_FAILURE() << "short write";
        close(fd);
    }
    ~TempFile() { remove(path.c_str()); }
};

struct Section {
    std::string type;
    std::vector<std::pair<std::string, std::string>> options;
    bool operator==(const Section &o) const { return type == o.type && options == o.options; }
};

std::vector<Section> sections_of(list *sections)
{
    std::vector<Section> out;
    for (node *n = sections->front; n; n = n->next) {
        section *s = (section *)n->val;
        Section copy{s->type, {}};
        for (node *m = s->options->front; m; m = m->next) {
            kvp *p = (kvp *)m->val;
            copy.options.emplace_back(p->key, p->val ? p->val : "<null>");
        }
        out.push_back(copy);
        free_section(s);
    }
    free_list(sections);
    return out;
}

void release(network &net) { free_network(net); }

// Builds a network from cfg text, capturing what the builder prints.
struct Built {
    network net;
    std::string out, err;
    Built(const std::string &cfg, int batch = 0, int time_steps = 0)
    {
        TempFile f(cfg);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        net = parse_network_cfg_custom(f.path.c_str(), batch, time_steps);
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
    }
    ~Built() { release(net); }
};

const char *const kNet = "[net]\nbatch=64\nsubdivisions=16\nwidth=416\nheight=416\nchannels=3\n";

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(ReadCfg, SectionsOptionsAndWhitespace)
{
    TempFile f("# header comment\n[ net ]\r\nbatch = 64 # per iteration\nsteps = 400, 450\n\n; other\n"
               "learning_rate=\n[Net]\nrandom\n[conv]\na=b=c\nbatch=64\nbatch=32\n");
    testing::internal::CaptureStderr();
    list *sections = read_cfg(f.path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Config file error line 7, could parse: learning_rate\n");
    EXPECT_EQ(sections_of(sections),
              (std::vector<Section>{{"[net]", {{"batch", "64#periteration"}, {"steps", "400,450"}}},
                                    {"[Net]", {{"random", "<null>"}}},
                                    {"[conv]", {{"a", "b=c"}, {"batch", "64"}, {"batch", "32"}}}}));
}

TEST(ReadCfg, CommentsOnlyAndLongLines)
{
    TempFile comments("# a\n;b\n\n   \n");
    EXPECT_TRUE(sections_of(read_cfg(comments.path.c_str())).empty());

    std::string long_value(50000, '7');
    TempFile f("[" + std::string(10000, 's') + "]\nkey=" + long_value + "\n");
    auto s = sections_of(read_cfg(f.path.c_str()));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].type.size(), 10002u);
    EXPECT_EQ(s[0].options[0].second, long_value);
}

TEST(ReadCfgDeath, MalformedFiles)
{
    EXPECT_EXIT(read_cfg("/nonexistent/x.cfg"), testing::ExitedWithCode(1), "^Couldn't open file: /nonexistent/x.cfg\n$");
    TempFile orphan("# c\nbatch=1\n[net]\n");
    EXPECT_EXIT(read_cfg(orphan.path.c_str()), testing::ExitedWithCode(1),
                "Config file error line 2, option before any section: batch=1\n");
}

TEST(Builder, BatchArithmeticAndMessages)
{
    {
        Built b(kNet);
        EXPECT_EQ(b.net.batch, 4);
        EXPECT_EQ(b.net.subdivisions, 16);
        EXPECT_EQ(b.net.n, 0);
        EXPECT_EQ(b.out, "net.optimized_memory = 0 \nmini_batch = 4, batch = 64, time_steps = 1, train = 1 \n");
    }
    {
        Built b(kNet, 1);
        EXPECT_EQ(b.net.batch, 1);
        EXPECT_TRUE(contains(b.out, "mini_batch = 1, batch = 16, time_steps = 1, train = 0 \n"));
    }
    {
        Built b("[net]\nbatch=6\nsubdivisions=4\ninputs=10\n");
        EXPECT_EQ(b.net.batch, 1);
    }
    {
        // Recurrent: the mini-batch is multiplied by the time steps, and a time_steps argument wins.
        Built b("[net]\nbatch=8\nsubdivisions=2\ntime_steps=3\ninputs=5\n");
        EXPECT_EQ(b.net.batch, 12);
        EXPECT_EQ(b.net.time_steps, 3);
        Built c("[net]\nbatch=8\nsubdivisions=2\ntime_steps=3\ninputs=5\n", 2, 5);
        EXPECT_EQ(c.net.batch, 5);
        EXPECT_EQ(c.net.time_steps, 5);
        Built d("[net]\nbatch=1\nsubdivisions=4\ninputs=5\n");
        EXPECT_EQ(d.net.batch, 1);
    }
}

TEST(Builder, NetDefaultsAreReported)
{
    Built b("[network]\ninputs=100\n");
    EXPECT_EQ(b.err, "max_batches: Using default '0'\nbatch: Using default '1'\n"
                     "learning_rate: Using default '0.001000'\nmomentum: Using default '0.900000'\n"
                     "decay: Using default '0.000100'\nsubdivisions: Using default '1'\n"
                     "policy: Using default 'constant'\n GPU isn't used \n"
                     "   layer   filters  size/strd(dil)      input                output\n"
                     "Total BFLOPS 0.000 \navg_outputs = 0 \n");
    const network &n = b.net;
    EXPECT_EQ(n.inputs, 100);
    EXPECT_EQ(n.h, 0);
    EXPECT_FLOAT_EQ(n.learning_rate, 0.001f);
    EXPECT_FLOAT_EQ(n.learning_rate_min, 0.00001f);
    EXPECT_EQ(n.sgdr_cycle, 0);
    EXPECT_EQ(n.sgdr_mult, 2);
    EXPECT_FLOAT_EQ(n.momentum, 0.9f);
    EXPECT_FLOAT_EQ(n.decay, 0.0001f);
    EXPECT_EQ(n.augment_speed, 2);
    EXPECT_EQ(n.sequential_subdivisions, 1);
    EXPECT_EQ(n.init_sequential_subdivisions, 1);
    EXPECT_FLOAT_EQ(n.loss_scale, 1);
    EXPECT_EQ(n.workspace_size_limit, (size_t)1024 * 1024 * 1024);
    EXPECT_EQ(n.adam, 0);
    EXPECT_EQ(n.max_crop, 0);
    EXPECT_EQ(n.flip, 1);
    EXPECT_EQ(n.resize_step, 32);
    EXPECT_FLOAT_EQ(n.max_chart_loss, 20);
    EXPECT_FLOAT_EQ(n.aspect, 1);
    EXPECT_FLOAT_EQ(n.saturation, 1);
    EXPECT_FLOAT_EQ(n.exposure, 1);
    EXPECT_FLOAT_EQ(n.hue, 0);
    EXPECT_FLOAT_EQ(n.power, 4);
    EXPECT_EQ(n.policy, CONSTANT);
    EXPECT_EQ(n.num_steps, 0);
    EXPECT_EQ(n.steps, nullptr);
    EXPECT_EQ(n.gpu_index, -1);
    EXPECT_EQ(n.workspace, nullptr);
}

TEST(Builder, NetKeysAreStored)
{
    Built b("[net]\nmax_batches=5000\nbatch=64\nsubdivisions=8\nlearning_rate=0.01\nlearning_rate_min=0.002\n"
            "sgdr_cycle=77\nsgdr_mult=3\nmomentum=0.8\ndecay=0.005\ntrack=1\naugment_speed=4\n"
            "sequential_subdivisions=20\ntry_fix_nan=1\nweights_reject_freq=50\nequidistant_point=300\n"
            "badlabels_rejection_percentage=0.5\nnum_sigmas_reject_badlabels=3\nema_alpha=0.999\n"
            "use_cuda_graph=1\nloss_scale=128\ndynamic_minibatch=1\noptimized_memory=1\n"
            "workspace_size_limit_MB=2.5\nadam=1\nB1=0.8\nB2=0.99\neps=0.01\nheight=320\nwidth=288\n"
            "channels=1\nflip=0\nblur=2\ngaussian_noise=1\nmixup=1\nletter_box=1\nmosaic_bound=1\n"
            "contrastive=1\ncontrastive_jit_flip=1\ncontrastive_color=1\nunsupervised=1\n"
            "label_smooth_eps=0.1\nresize_step=64.9\nattention=1\nadversarial_lr=0.05\nmax_chart_loss=5\n"
            "angle=7\naspect=1.2\nsaturation=1.5\nexposure=1.4\nhue=0.1\npower=2\npolicy=sgdr\nburn_in=100\n"
            "steps=400,450#comment,1\nscales=.1,.2\nseq_scales=0.5\n");
    const network &n = b.net;
    EXPECT_EQ(n.max_batches, 5000);
    EXPECT_EQ(n.batch, 8);
    EXPECT_FLOAT_EQ(n.learning_rate, 0.01f);
    EXPECT_FLOAT_EQ(n.learning_rate_min, 0.002f);
    EXPECT_EQ(n.sgdr_cycle, 77);
    EXPECT_EQ(n.sgdr_mult, 3);
    EXPECT_FLOAT_EQ(n.momentum, 0.8f);
    EXPECT_FLOAT_EQ(n.decay, 0.005f);
    EXPECT_EQ(n.track, 1);
    EXPECT_EQ(n.augment_speed, 4);
    EXPECT_EQ(n.sequential_subdivisions, 8);
    EXPECT_EQ(n.init_sequential_subdivisions, 8);
    EXPECT_EQ(n.try_fix_nan, 1);
    EXPECT_EQ(n.weights_reject_freq, 50);
    EXPECT_EQ(n.equidistant_point, 300);
    EXPECT_FLOAT_EQ(n.badlabels_rejection_percentage, 0.5f);
    EXPECT_FLOAT_EQ(n.num_sigmas_reject_badlabels, 3);
    EXPECT_FLOAT_EQ(n.ema_alpha, 0.999f);
    EXPECT_EQ(n.use_cuda_graph, 1);
    EXPECT_FLOAT_EQ(n.loss_scale, 128);
    EXPECT_EQ(n.dynamic_minibatch, 1);
    EXPECT_EQ(n.optimized_memory, 1);
    EXPECT_EQ(n.workspace_size_limit, (size_t)(2.5 * 1048576));
    EXPECT_EQ(n.adam, 1);
    EXPECT_FLOAT_EQ(n.B1, 0.8f);
    EXPECT_FLOAT_EQ(n.B2, 0.99f);
    EXPECT_FLOAT_EQ(n.eps, 0.01f);
    EXPECT_EQ(n.h, 320);
    EXPECT_EQ(n.w, 288);
    EXPECT_EQ(n.c, 1);
    EXPECT_EQ(n.inputs, 320 * 288);
    EXPECT_EQ(n.max_crop, 576);
    EXPECT_EQ(n.min_crop, 288);
    EXPECT_EQ(n.flip, 0);
    EXPECT_EQ(n.blur, 2);
    EXPECT_EQ(n.gaussian_noise, 1);
    EXPECT_EQ(n.mixup, 1);
    EXPECT_EQ(n.letter_box, 1);
    EXPECT_EQ(n.mosaic_bound, 1);
    EXPECT_EQ(n.contrastive, 1);
    EXPECT_EQ(n.contrastive_jit_flip, 1);
    EXPECT_EQ(n.contrastive_color, 1);
    EXPECT_EQ(n.unsupervised, 1);
    EXPECT_FLOAT_EQ(n.label_smooth_eps, 0.1f);
    EXPECT_EQ(n.resize_step, 64);
    EXPECT_EQ(n.attention, 1);
    EXPECT_FLOAT_EQ(n.adversarial_lr, 0.05f);
    EXPECT_FLOAT_EQ(n.max_chart_loss, 5);
    EXPECT_FLOAT_EQ(n.angle, 7);
    EXPECT_FLOAT_EQ(n.aspect, 1.2f);
    EXPECT_FLOAT_EQ(n.saturation, 1.5f);
    EXPECT_FLOAT_EQ(n.exposure, 1.4f);
    EXPECT_FLOAT_EQ(n.hue, 0.1f);
    EXPECT_FLOAT_EQ(n.power, 2);
    EXPECT_EQ(n.policy, SGDR);
    EXPECT_EQ(n.burn_in, 100);
    // The text after '#' does not count; a shorter list fills with 1.
    ASSERT_EQ(n.num_steps, 2);
    EXPECT_EQ(n.steps[0], 400);
    EXPECT_EQ(n.steps[1], 450);
    EXPECT_FLOAT_EQ(n.scales[0], 0.1f);
    EXPECT_FLOAT_EQ(n.scales[1], 0.2f);
    EXPECT_FLOAT_EQ(n.seq_scales[0], 0.5f);
    EXPECT_FLOAT_EQ(n.seq_scales[1], 1);
    EXPECT_EQ(*n.seen, 0u);
    EXPECT_EQ(*n.cur_iteration, 0);
    EXPECT_EQ(b.err.substr(0, 25), " GPU isn't used \n   layer");
}

TEST(Builder, MixupFromMosaicAndCutmix)
{
    struct {
        const char *keys;
        int mixup;
    } cases[] = {{"mixup=1\nmosaic=1\ncutmix=1\n", 4}, {"mixup=1\nmosaic=1\n", 3}, {"cutmix=1\n", 2}, {"mixup=1\n", 1}, {"", 0}};
    for (auto &c : cases) {
        Built b(std::string("[net]\ninputs=1\n") + c.keys);
        EXPECT_EQ(b.net.mixup, c.mixup) << c.keys;
    }
}

TEST(Builder, PolicyNamesAndTheirKeys)
{
    // The name is checked before the device report, the policy's own keys are read after it.
    struct {
        const char *policy;
        learning_rate_policy value;
        const char *before, *after;
    } cases[] = {
        {"constant", CONSTANT, "", ""},
        {"step", STEP, "", "step: Using default '1'\nscale: Using default '1.000000'\n"},
        {"exp", EXP, "", "gamma: Using default '1.000000'\n"},
        {"poly", POLY, "", ""},
        {"sigmoid", SIG, "", "gamma: Using default '1.000000'\nstep: Using default '1'\n"},
        {"random", RANDOM, "", ""},
        {"sgdr", SGDR, "", ""},
        {"Steps", CONSTANT, "Couldn't find policy Steps, going with constant\n", ""},
    };
    const std::string gpu = " GPU isn't used \n";
    for (auto &c : cases) {
        Built b(std::string("[net]\ninputs=1\nmax_batches=1\nbatch=1\nlearning_rate=1\nmomentum=1\ndecay=1\n"
                            "subdivisions=1\npolicy=") +
                c.policy + "\n");
        EXPECT_EQ(b.net.policy, c.value) << c.policy;
        size_t at = b.err.find(gpu), after = at + gpu.size();
        EXPECT_EQ(b.err.substr(0, at), c.before) << c.policy;
        EXPECT_EQ(b.err.substr(after, b.err.find("   layer") - after), c.after) << c.policy;
    }
    Built empty("[net]\ninputs=1\npolicy=\n");
    EXPECT_TRUE(contains(empty.err, "Config file error line 3, could parse: policy\n"));
    EXPECT_TRUE(contains(empty.err, "policy: Using default 'constant'\n"));
    Built steps("[net]\ninputs=1\npolicy=steps\nsteps=10,20,30\nscales=2,3,4\n");
    ASSERT_EQ(steps.net.num_steps, 3);
    EXPECT_EQ(steps.net.steps[2], 30);
    EXPECT_FLOAT_EQ(steps.net.scales[2], 4);
    EXPECT_FLOAT_EQ(steps.net.seq_scales[2], 1);
    Built adam("[net]\ninputs=1\nadam=1\n");
    EXPECT_TRUE(contains(adam.err, "B1: Using default '0.900000'\nB2: Using default '0.999000'\n"
                                   "eps: Using default '0.000001'\n"));
}

TEST(BuilderDeath, FatalConfigurations)
{
    struct {
        const char *cfg;
        const char *message;
    } cases[] = {
        {"", "Config file has no sections"},
        {"# only a comment\n", "Config file has no sections"},
        {"[convolutional]\nfilters=1\n", "First section must be \\[net\\] or \\[network\\]"},
        {"[Net]\ninputs=1\n", "First section must be \\[net\\] or \\[network\\]"},
        {"[net]\nbatch=4\n", "No input parameters supplied"},
        {"[net]\nwidth=4\nheight=4\n", "No input parameters supplied"},
        {"[net]\ninputs=1\npolicy=steps\nsteps=1,2\n", "STEPS policy must have steps and scales in cfg file"},
        {"[net]\ninputs=1\npolicy=steps\nscales=1,2\n", "STEPS policy must have steps and scales in cfg file"},
        {"[net]\ninputs=1\nsubdivisions=0\n", "subdivisions must be 1 or more"},
    };
    for (auto &c : cases) {
        TempFile f(c.cfg);
        EXPECT_EXIT(parse_network_cfg_custom(f.path.c_str(), 0, 0), testing::ExitedWithCode(1),
                    std::string("Quillon error location: src/parser.cpp, [a-z_]+, line #[0-9]+\n") + c.message + ": ")
            << c.cfg;
    }
    TempFile contrastive("[net]\ninputs=1\nbatch=4\nsubdivisions=4\ncontrastive=1\n");
    EXPECT_EXIT(
        {
            testing::internal::CaptureStdout();
            parse_network_cfg_custom(contrastive.path.c_str(), 0, 0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Builder, UnknownSectionsKeepZeroRecordsWithCommonKeys)
{
    Built b(std::string(kNet) + "[Convolutional]\nfilters=16\nclip=0.5\ndontload=1\nlearning_rate=0.1\n"
                                "[net]\nbatch=2\n[empty]\n");
    ASSERT_EQ(b.net.n, 3);
    EXPECT_TRUE(contains(b.err, "   layer   filters  size/strd(dil)      input                output\n"
                                "   0 Type not recognized: [Convolutional]\nUnused field: 'filters = 16'\n"
                                "   1 Type not recognized: [net]\nUnused field: 'batch = 2'\n   2 empty \n"));
    const layer &l = b.net.layers[0];
    EXPECT_EQ(l.type, CONVOLUTIONAL);
    EXPECT_EQ(l.forward, nullptr);
    EXPECT_FLOAT_EQ(l.clip, 0.5f);
    EXPECT_EQ(l.dontload, 1);
    EXPECT_FLOAT_EQ(l.learning_rate_scale, 0.1f);
    EXPECT_FLOAT_EQ(b.net.layers[1].learning_rate_scale, 1);
    // The zero shape is chained into the next layer.
    EXPECT_EQ(b.net.layers[2].inputs, 0);
    EXPECT_EQ(b.net.layers[2].h, 0);
}

TEST(Builder, EmptyLayersPassTheShapeThrough)
{
    Built b(std::string(kNet) + "[empty]\n[silence]\nfoo=1\n", 1);
    ASSERT_EQ(b.net.n, 2);
    for (int i = 0; i < 2; ++i) {
        const layer &l = b.net.layers[i];
        EXPECT_EQ(l.type, EMPTY);
        EXPECT_EQ(l.batch, 1);
        EXPECT_EQ(l.inputs, 416 * 416 * 3);
        EXPECT_EQ(l.outputs, 416 * 416 * 3);
        EXPECT_EQ(l.out_w, 416);
        EXPECT_EQ(l.out_h, 416);
        EXPECT_EQ(l.out_c, 3);
        EXPECT_EQ(l.keep_delta_gpu, 1);
        EXPECT_EQ(l.forward, empty_func);
        EXPECT_EQ(l.backward, empty_func);
    }
    EXPECT_TRUE(contains(b.err, "   0 empty \n   1 empty \nUnused field: 'foo = 1'\n"));
    EXPECT_TRUE(contains(b.err, "Total BFLOPS 0.000 \navg_outputs = 519168 \n"));
    EXPECT_EQ(b.net.outputs, 416 * 416 * 3);
}

TEST(Builder, StopbackwardFreezesEarlierLayers)
{
    std::string cfg = kNet;
    for (int i = 0; i < 5; ++i) cfg += i == 3 ? "[empty]\nstopbackward=1\n" : "[empty]\n";
    cfg += "[Blank]\n";
    Built b(cfg);
    EXPECT_TRUE(contains(b.out, "last_stop_backward = 3 \n"));
    EXPECT_EQ(b.out.find(" ------- previous layers are frozen ------- \n"),
              b.out.rfind(" ------- previous layers are frozen ------- \n"));
    EXPECT_TRUE(contains(b.out, " ------- previous layers are frozen ------- \n"));
    for (int k = 0; k < 6; ++k) {
        const layer &l = b.net.layers[k];
        EXPECT_EQ(l.onlyforward, k < 3 ? 1 : 0) << k;
        EXPECT_EQ(l.stopbackward, k == 3 ? 1 : 0) << k;
    }
    // Pass-through layers borrow, so the first frozen one without an owner stays without a delta.
    EXPECT_EQ(b.net.layers[0].delta, nullptr);

    // Built for inference, stopbackward is not scanned.
    Built inference(cfg, 1);
    EXPECT_FALSE(contains(inference.out, "last_stop_backward"));
    EXPECT_EQ(inference.net.layers[0].onlyforward, 0);
}

TEST(Builder, FrozenPassThroughLayersShareTheOwnersDelta)
{
    Built b(std::string(kNet) + "[blank]\n[empty]\n[empty]\n[empty]\nstopbackward=1\n");
    const layer *l = b.net.layers;
    // The unrecognised record at 0 owns the buffers; it has no outputs, so the delta is empty but
    // shared by the pass-through layers that follow it.
    EXPECT_EQ(l[1].delta, l[0].delta);
    EXPECT_EQ(l[2].delta, l[0].delta);
    EXPECT_EQ(l[3].delta, nullptr);
}

TEST(Builder, TrainOnlyBnPropagatesBackwards)
{
    Built b(std::string(kNet) + "[empty]\n[empty]\ntrain_only_bn=1\n[empty]\n[empty]\ntrain_only_bn=2\n[empty]\n");
    std::vector<int> got;
    for (int k = 0; k < b.net.n; ++k) got.push_back(b.net.layers[k].train_only_bn);
    EXPECT_EQ(got, (std::vector<int>{1, 1, 2, 2, 0}));
}

TEST(Builder, ReceptiveFieldOfShapelessLayers)
{
    Built b(std::string(kNet) + "show_receptive_field=1\n[empty]\n[empty]\n");
    EXPECT_TRUE(contains(b.err, "   0 - receptive field: 1 x 1 \n"));
    EXPECT_TRUE(contains(b.err, "   1 - receptive field: 1 x 1 \n"));
    EXPECT_EQ(b.net.layers[1].receptive_w_scale, 1);
}

TEST(Builder, ParseNetworkCfgBuildsForTraining)
{
    TempFile f(std::string(kNet) + "[empty]\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    network net = parse_network_cfg(f.path.c_str());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(testing::internal::GetCapturedStdout(), "train = 1"));
    EXPECT_EQ(net.batch, 4);
    release(net);
}

TEST(Loaders, MessagesAndClear)
{
    TempFile f(std::string(kNet) + "[empty]\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    network *net = load_network(f.path.c_str(), "", 1);
    testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find(" Try to load cfg: " + f.path + ", clear = 1 \n"), 0u);
    EXPECT_FALSE(contains(out, "Try to load weights"));
    EXPECT_EQ(net->batch, 4);
    EXPECT_EQ(*net->seen, 0u);
    release(*net);
    free(net);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    net = load_network_custom(f.path.c_str(), nullptr, 0, 2);
    testing::internal::GetCapturedStderr();
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find(" Try to load cfg: " + f.path + ", weights: (null), clear = 0 \n"), 0u);
    EXPECT_TRUE(contains(out, "mini_batch = 2, batch = 32, time_steps = 1, train = 0 \n"));
    EXPECT_EQ(net->batch, 2);
    release(*net);
    free(net);
}

TEST(Loaders, BundledConfigurationReads)
{
    std::vector<std::string> types;
    for (const Section &s : sections_of(read_cfg(QUILLON_SOURCE_DIR "/cfg/quillon-tiny.cfg"))) types.push_back(s.type);
    ASSERT_EQ(types.size(), 11u);
    EXPECT_EQ(types[0], "[net]");
    EXPECT_EQ(types[1], "[convolutional]");
    EXPECT_EQ(types[2], "[maxpool]");
}

TEST(Builder, ConvolutionChainShapesWorkspaceAndReceptiveField)
{
    std::string cfg = "[net]\nbatch=2\nwidth=32\nheight=24\nchannels=3\nshow_receptive_field=1\n";
    for (int i = 0; i < 3; ++i) cfg += "[convolutional]\nfilters=4\nsize=3\nstride=1\npad=1\nactivation=leaky\n";
    cfg += "[conv]\nfilters=2\nsize=3\nstride=2\npad=1\nactivation=linear\n[empty]\n";
    Built b(cfg);
    ASSERT_EQ(b.net.n, 5);
    EXPECT_TRUE(contains(b.err, "   0 - receptive field: 3 x 3 \n"));
    EXPECT_TRUE(contains(b.err, "   1 - receptive field: 5 x 5 \n"));
    EXPECT_TRUE(contains(b.err, "   2 - receptive field: 7 x 7 \n"));
    EXPECT_TRUE(contains(b.err, "   3 - receptive field: 9 x 9 \n"));
    EXPECT_EQ(b.net.layers[3].receptive_w_scale, 2);
    const layer &last = b.net.layers[4];
    EXPECT_EQ(last.w, 16);
    EXPECT_EQ(last.h, 12);
    EXPECT_EQ(last.c, 2);
    EXPECT_EQ(last.output, b.net.layers[3].output);
    EXPECT_EQ(last.delta, b.net.layers[3].delta);
    EXPECT_EQ(b.net.outputs, 16 * 12 * 2);
    EXPECT_EQ(b.net.output, b.net.layers[3].output);
    size_t workspace = 0;
    for (int i = 0; i < b.net.n; ++i) workspace = std::max(workspace, b.net.layers[i].workspace_size);
    ASSERT_GT(workspace, 0u);
    ASSERT_NE(b.net.workspace, nullptr);
    // The whole workspace is usable scratch.
    memset(b.net.workspace, 0, workspace);
    EXPECT_TRUE(contains(b.err, "Total BFLOPS "));
    EXPECT_TRUE(contains(b.err, "avg_outputs = " + std::to_string((32 * 24 * 4 * 3 + 16 * 12 * 2 * 2) / 5) + " \n"));
}

TEST(Builder, FrozenConvolutionsKeepTheirDeltaForRoutes)
{
    Built b("[net]\nbatch=1\nwidth=8\nheight=8\nchannels=1\n"
            "[convolutional]\nfilters=2\nsize=1\nactivation=linear\n"
            "[convolutional]\nfilters=2\nsize=1\nactivation=linear\nstopbackward=1\n");
    const layer &l = b.net.layers[0];
    EXPECT_EQ(l.train, 0);
    EXPECT_EQ(l.onlyforward, 1);
    EXPECT_EQ(l.delta, nullptr);
    EXPECT_EQ(b.net.layers[1].train, 1);
    EXPECT_NE(b.net.layers[1].delta, nullptr);
}
