// The quillon command-line host program.
#include "quillon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <string>
#include <vector>

namespace {

struct option_desc {
    const char *name;
    const char *value;  // null for a flag
    const char *help;
};

struct subcommand {
    const char *name;
    const char *arguments;
    int required;  // positional arguments that must be given
    int optional;  // positional arguments that may follow them
    const char *summary;
    std::vector<option_desc> options;
};

const std::vector<subcommand> &detector_commands()
{
    static const std::vector<subcommand> commands = {
        {"train",
         "<data> <cfg> [weights]",
         2,
         1,
         "train a detector; weights files go to the .data file's backup directory",
         {{"-clear", nullptr, "restart the iteration count of the starting weights at 0"},
          {"-map", nullptr, "measure mAP on the valid list every few epochs and keep the best weights"},
          {"-thresh", "t", "confidence threshold of the mAP statistics (default 0.25)"},
          {"-iou_thresh", "t", "IoU threshold of the mAP pass (default 0.5)"},
          {"-dont_show", nullptr, "no preview of augmented images"},
          {"-show_imgs", nullptr, "save every augmented training image as aug_*.jpg"}}},
        {"map",
         "<data> <cfg> <weights>",
         3,
         0,
         "measure the mAP of a detector on the .data file's valid list",
         {{"-thresh", "t", "confidence threshold of precision, recall, F1 and average IoU (default 0.25)"},
          {"-iou_thresh", "t", "minimum IoU of a match (default 0.5)"},
          {"-points", "n", "recall points: 0 area under the curve (default), 11 or 101"}}},
        {"test",
         "<data> <cfg> <weights> [image]",
         3,
         1,
         "detect objects in one image (or in paths read from standard input); saves predictions.jpg",
         {{"-thresh", "t", "detection threshold (default 0.25)"},
          {"-dont_show", nullptr, "do not show the result (it is saved as predictions.jpg either way)"},
          {"-ext_output", nullptr, "print the box coordinates of every detection"},
          {"-save_labels", nullptr, "write the detections as a label file beside the image"},
          {"-out", "file", "write the detections as a JSON array to file"},
          {"-letter_box", nullptr, "letterbox the image instead of stretching it"}}},
    };
    return commands;
}

void print_subcommand_help(FILE *out, const subcommand &c)
{
    fprintf(out, "usage: quillon detector %s %s [options]\n  %s\noptions:\n", c.name, c.arguments, c.summary);
    for (const option_desc &o : c.options) {
        std::string flag = std::string(o.name) + (o.value ? std::string(" ") + o.value : "");
        fprintf(out, "  %-18s %s\n", flag.c_str(), o.help);
    }
    fprintf(out, "  %-18s %s\n", "-h, --help", "show this help");
}

void usage(FILE *out)
{
    fprintf(out, "usage: quillon <command> [args]\n"
                 "commands:\n"
                 "  layers <cfg>   build the network of a cfg file and print its layer table\n"
                 "  detect <cfg> <weights> <image> [-thresh t] [-json file] [-names file] [-port p]\n"
                 "         [-serve_seconds s]\n"
                 "                 detect the objects of an image (threshold 0.25 by default) and print one line\n"
                 "                 per box: class_id=<id> prob=<p> x=<left> y=<top> w=<width> h=<height>;\n"
                 "                 -json writes the detections as a JSON frame (class names from -names),\n"
                 "                 -port serves that frame over HTTP to TCP clients for -serve_seconds (10)\n");
    for (const subcommand &c : detector_commands())
        fprintf(out, "  detector %s %s [options]\n      %s\n", c.name, c.arguments, c.summary);
    fprintf(out, "\n");
    for (const subcommand &c : detector_commands()) {
        print_subcommand_help(out, c);
        fprintf(out, "\n");
    }
}

// Renders the detections of one image as the library's JSON frame text (class names from
// names_file, or the class numbers); the caller frees it.
bool readable(const std::string &path);

char *detections_json(const char *cfg, const char *weights, const char *image_path, const char *names_file,
                      float thresh)
{
    network *net = load_network_custom(cfg, weights, 0, 1);
    image im = load_image_color((char *)image_path, 0, 0);
    network_predict_image(net, im);
    int nboxes = 0;
    detection *dets = get_network_boxes(net, im.w, im.h, thresh, .5f, nullptr, 1, &nboxes, 0);
    const int classes = nboxes ? dets[0].classes : 0;
    do_nms_sort(dets, nboxes, classes, .4f);
    std::vector<std::string> storage;
    std::vector<char *> names;
    FILE *nf = names_file ? fopen(names_file, "r") : nullptr;
    if (names_file && !nf) fprintf(stderr, "quillon detect: cannot read names file '%s'\n", names_file);
    char line[4096];
    while (nf && fgets(line, sizeof line, nf)) {
        line[strcspn(line, "\r\n")] = '\0';
        storage.emplace_back(line);
    }
    if (nf) fclose(nf);
    for (int i = (int)storage.size(); i < classes; ++i) storage.push_back(std::to_string(i));
    for (std::string &n : storage) names.push_back(n.data());
    char *json = detection_to_json(dets, nboxes, classes, names.data(), 1, image_path);
    free_detections(dets, nboxes);
    free_image(im);
    free_network_ptr(net);
    free(net);
    return json;
}

int detect_command(int argc, char **argv)
{
    float thresh = .25f;
    const char *json_file = nullptr, *names_file = nullptr;
    int port = 0;
    double serve_seconds = 10;
    std::vector<const char *> positional;
    for (int i = 2; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!strcmp(argv[i], "-thresh") && has_value) thresh = (float)atof(argv[++i]);
        else if (!strcmp(argv[i], "-json") && has_value) json_file = argv[++i];
        else if (!strcmp(argv[i], "-names") && has_value) names_file = argv[++i];
        else if (!strcmp(argv[i], "-port") && has_value) port = atoi(argv[++i]);
        else if (!strcmp(argv[i], "-serve_seconds") && has_value) serve_seconds = atof(argv[++i]);
        else if (argv[i][0] == '-') {
            fprintf(stderr, "quillon detect: unknown option or missing value: '%s'\n", argv[i]);
            return 1;
        } else positional.push_back(argv[i]);
    }
    if (positional.size() != 3) {
        usage(stderr);
        return 1;
    }
    for (const char *path : positional)
        if (!readable(path)) {
            fprintf(stderr, "quillon detect: cannot read '%s'\n", path);
            return 1;
        }
    {
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
    }
    if (!json_file && !port) return 0;
    char *json = detections_json(positional[0], positional[1], positional[2], names_file, thresh);
    if (!json) {
        fprintf(stderr, "quillon detect: out of memory rendering JSON\n");
        return 1;
    }
    if (json_file) {
        FILE *out = fopen(json_file, "wb");
        if (!out || fputs(json, out) < 0 || fclose(out) != 0) {
            fprintf(stderr, "quillon detect: cannot write '%s'\n", json_file);
            free(json);
            return 1;
        }
    }
    if (port) {
        // One frame, repeated so that clients connecting while we serve receive it.
        fprintf(stderr, "quillon detect: serving the detections on port %d for %g s\n", port, serve_seconds);
        const double end = get_time_point() + serve_seconds * 1e6;
        do {
            send_json_custom(json, port, 400000);
            struct timespec pause = {0, 100000000};
            nanosleep(&pause, nullptr);
        } while (get_time_point() < end);
    }
    free(json);
    return 0;
}

bool readable(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    fclose(f);
    return true;
}

bool parse_number(const std::string &text, double &value)
{
    char *end = nullptr;
    value = strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0';
}

// Splits the arguments after "detector <name>" into positional ones and options; returns non-zero
// (having printed why) on an unknown option, a missing value or a wrong argument count.
int parse_arguments(const subcommand &c, int argc, char **argv, std::vector<std::string> &positional,
                    std::map<std::string, std::string> &given)
{
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-') {
            const option_desc *desc = nullptr;
            for (const option_desc &o : c.options)
                if (arg == o.name) desc = &o;
            if (!desc) {
                fprintf(stderr, "quillon detector %s: unknown option '%s' (see quillon detector %s --help)\n", c.name,
                        arg.c_str(), c.name);
                return 1;
            }
            if (desc->value) {
                if (i + 1 >= argc) {
                    fprintf(stderr, "quillon detector %s: option '%s' needs a value (%s)\n", c.name, desc->name,
                            desc->value);
                    return 1;
                }
                given[arg] = argv[++i];
            } else {
                given[arg] = "1";
            }
        } else {
            positional.push_back(arg);
        }
    }
    const int count = (int)positional.size();
    if (count < c.required || count > c.required + c.optional) {
        fprintf(stderr, "quillon detector %s: expected %s\n", c.name, c.arguments);
        return 1;
    }
    for (const std::string &path : positional)
        if (!readable(path)) {
            fprintf(stderr, "quillon detector %s: cannot open '%s'\n", c.name, path.c_str());
            return 1;
        }
    return 0;
}

int number_option(const subcommand &c, const std::map<std::string, std::string> &given, const char *name,
                  double fallback, double &value)
{
    value = fallback;
    auto it = given.find(name);
    if (it == given.end()) return 0;
    if (!parse_number(it->second, value)) {
        fprintf(stderr, "quillon detector %s: option '%s' needs a number, not '%s'\n", c.name, name,
                it->second.c_str());
        return 1;
    }
    return 0;
}

int run_detector(int argc, char **argv)
{
    if (argc < 1 || !strcmp(argv[0], "--help") || !strcmp(argv[0], "-h")) {
        usage(argc < 1 ? stderr : stdout);
        return argc < 1 ? 1 : 0;
    }
    const subcommand *command = nullptr;
    for (const subcommand &c : detector_commands())
        if (!strcmp(argv[0], c.name)) command = &c;
    if (!command) {
        fprintf(stderr, "quillon detector: unknown command '%s' (see quillon --help)\n", argv[0]);
        return 1;
    }
    for (int i = 1; i < argc; ++i)
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            print_subcommand_help(stdout, *command);
            return 0;
        }

    std::vector<std::string> positional;
    std::map<std::string, std::string> given;
    if (parse_arguments(*command, argc - 1, argv + 1, positional, given)) return 1;
    auto flag = [&](const char *name) { return given.count(name) ? 1 : 0; };
    double thresh = 0, iou_thresh = 0, points = 0;
    if (number_option(*command, given, "-thresh", 0.25, thresh) ||
        number_option(*command, given, "-iou_thresh", 0.5, iou_thresh) ||
        number_option(*command, given, "-points", 0, points))
        return 1;

    const char *data_file = positional[0].c_str();
    const char *cfg_file = positional[1].c_str();
    const char *weights_file = positional.size() > 2 ? positional[2].c_str() : nullptr;
    const std::string name = command->name;
    if (name == "train") {
        int gpu = 0;
        train_detector(data_file, cfg_file, weights_file, &gpu, 1, flag("-clear"), flag("-dont_show"), flag("-map"),
                       (float)thresh, (float)iou_thresh, 0, flag("-show_imgs"), 0);
    } else if (name == "map") {
        validate_detector_map(data_file, cfg_file, weights_file, (float)thresh, (float)iou_thresh, (int)points, 0,
                              nullptr);
    } else {
        const char *image_file = positional.size() > 3 ? positional[3].c_str() : nullptr;
        const char *json_file = given.count("-out") ? given["-out"].c_str() : nullptr;
        test_detector(data_file, cfg_file, weights_file, image_file, (float)thresh, 0.5f, flag("-dont_show"),
                      flag("-ext_output"), flag("-save_labels"), json_file, flag("-letter_box"), 0);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
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
    if (!strcmp(argv[1], "detector")) return run_detector(argc - 2, argv + 2);
    fprintf(stderr, "quillon: unknown command '%s' (see quillon --help)\n", argv[1]);
    return 1;
}
