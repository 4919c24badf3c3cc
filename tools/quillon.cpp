// The quillon command-line host program.
#include "quillon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

static void usage(FILE *out);

static int detect_command(int argc, char **argv)
{
    float thresh = .25f;
    std::vector<const char *> positional;
    for (int i = 2; i < argc; ++i) {
        if (!strcmp(argv[i], "-thresh") && i + 1 < argc) thresh = (float)atof(argv[++i]);
        else positional.push_back(argv[i]);
    }
    if (positional.size() != 3) {
        usage(stderr);
        return 1;
    }
    Detector detector(positional[0], positional[1], 0, 1);
    std::vector<bbox_t> boxes;
    try {
        boxes = detector.detect(positional[2], thresh);
    } catch (const std::exception &e) {
        fprintf(stderr, "quillon: cannot read image '%s': %s\n", positional[2], e.what());
        return 1;
    }
    for (const bbox_t &b : boxes)
        printf("class_id=%u prob=%.6f x=%u y=%u w=%u h=%u\n", b.class_id, b.prob, b.x, b.y, b.w, b.h);
    return 0;
}

static void usage(FILE *out)
{
    fprintf(out, "usage: quillon <command> [args]\n"
                 "commands:\n"
                 "  layers <cfg>   build the network of a cfg file and print its layer table\n"
                 "  detect <cfg> <weights> <image> [-thresh t]\n"
                 "                 detect the objects of an image (threshold 0.25 by default) and print one line\n"
                 "                 per box: class_id=<id> prob=<p> x=<left> y=<top> w=<width> h=<height>\n");
}

int main(int argc, char **argv)
{
    if (argc < 2 || !strcmp(argv[1], "--help")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 1 : 0;
    }
    if (!strcmp(argv[1], "layers")) {
        if (argc != 3) {
            usage(stderr);
            return 1;
        }
        // Built for inference with one image per pass: the table is the same, the buffers smaller.
        network *net = load_network_custom(argv[2], nullptr, 0, 1);
        free_network_ptr(net);
        free(net);
        return 0;
    }
    if (!strcmp(argv[1], "detect")) return detect_command(argc, argv);
    fprintf(stderr, "quillon: unknown command '%s' (see quillon --help)\n", argv[1]);
    return 1;
}
