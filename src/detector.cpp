// The detector entry points: the training loop with its background loading, multi-scale steps,
// weights cadence and periodic mAP; the mAP validation of a list of images; the single-image test
// with its drawn predictions, label lines and JSON file.
#include "detector.h"

#include "box_geometry.h"
#include "data.h"
#include "image.h"
#include "learning_rate.h"
#include "network.h"
#include "option_list.h"
#include "parser.h"
#include "utils.h"
#include "weights.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

bool is_detection_head(LAYER_TYPE type)
{
    return type == REGION || type == VUMO || type == GAUSSIAN_VUMO;
}

// The last detection head (the last layer when there is none), announcing every head found.
layer last_detection_layer(const network &net)
{
    layer l = net.layers[net.n - 1];
    for (int k = 0; k < net.n; ++k) {
        if (!is_detection_head(net.layers[k].type)) continue;
        l = net.layers[k];
        printf(" Detection layer: %d - type = %d \n", k, (int)l.type);
    }
    return l;
}

// The class-name list, padded with the class number as text up to classes entries so that a short
// list can never be indexed past its end. count receives the number of names in the file.
char **read_class_names(const char *path, int classes, int *count)
{
    char **names = get_paths(path, count);
    if (*count >= classes) return names;
    names = (char **)xrealloc(names, (size_t)(classes + 1) * sizeof(char *));
    for (int c = *count; c < classes; ++c) names[c] = copy_string(std::to_string(c).c_str());
    names[classes] = nullptr;
    return names;
}

void free_class_names(char **names, int count)
{
    for (int i = 0; i < count; ++i) free(names[i]);
    free(names);
}

void report_names_mismatch(const char *name_list, int names_count, int classes, const char *cfg_file)
{
    printf("\n Error: in the file %s number of names %d that isn't equal to classes=%d in the file %s \n", name_list,
           names_count, classes, cfg_file);
}

void suppress(detection *dets, int nboxes, const layer &l)
{
    const float nms = 0.45f;
    if (l.nms_kind == DEFAULT_NMS) do_nms_sort(dets, nboxes, l.classes, nms);
    else diounms_sort(dets, nboxes, l.classes, nms, l.nms_kind, l.beta_nms);
}

label_box *read_label_boxes(const char *image_path, int classes, int *count)
{
    std::string label_path(strlen(image_path) + 1, '\0');
    image_path_to_label_path(image_path, label_path.data());
    label_box *boxes = read_boxes(label_path.c_str(), count);
    *count = drop_out_of_range_labels(boxes, *count, classes);
    return boxes;
}

box label_to_box(const label_box &t)
{
    return box{t.x, t.y, t.w, t.h};
}

double wall_seconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count() / 1e6;
}

std::string weights_path(const char *directory, const char *base, const char *suffix)
{
    return std::string(directory) + "/" + base + suffix + ".weights";
}

}  // namespace

// ---------------------------------------------------------------- mAP bookkeeping

map_accumulator make_map_accumulator(int classes)
{
    map_accumulator acc;
    acc.classes = classes;
    acc.truth_per_class.assign(classes, 0);
    acc.tp_per_class.assign(classes, 0);
    acc.fp_per_class.assign(classes, 0);
    acc.iou_sum_per_class.assign(classes, 0.f);
    return acc;
}

int drop_out_of_range_labels(label_box *boxes, int count, int classes)
{
    int kept = 0;
    for (int i = 0; i < count; ++i)
        if (boxes[i].id >= 0 && boxes[i].id < classes) boxes[kept++] = boxes[i];
    return kept;
}

void map_add_image(map_accumulator &acc, const detection *dets, int nboxes, const label_box *truth, int num_labels,
                   const label_box *difficult, int num_difficult, int image_pos, float iou_thresh, float conf_thresh)
{
    for (int j = 0; j < num_labels; ++j) ++acc.truth_per_class[truth[j].id];
    const size_t checkpoint = acc.detections.size();
    for (int i = 0; i < nboxes; ++i) {
        for (int c = 0; c < acc.classes; ++c) {
            const float prob = dets[i].prob[c];
            if (!(prob > 0)) continue;
            scored_detection entry = {dets[i].bbox, prob, c, image_pos, 0, -1};
            float max_iou = 0;
            int truth_index = -1;
            for (int j = 0; j < num_labels; ++j) {
                if (truth[j].id != c) continue;
                const float iou = box_iou(dets[i].bbox, label_to_box(truth[j]));
                if (iou > iou_thresh && (truth_index < 0 || iou > max_iou)) {
                    max_iou = iou;
                    truth_index = j;
                }
            }
            bool removed = false;
            if (truth_index >= 0) {
                entry.matched = 1;
                entry.truth_id = acc.unique_truth_count + truth_index;
            } else if (difficult) {
                for (int j = 0; j < num_difficult && !removed; ++j)
                    removed = difficult[j].id == c && box_iou(dets[i].bbox, label_to_box(difficult[j])) > iou_thresh;
            }
            if (!removed) acc.detections.push_back(entry);

            if (!(prob > conf_thresh)) continue;
            bool true_positive = !removed && entry.matched;
            // A second detection of the same object in this image is a false positive.
            for (size_t k = checkpoint; true_positive && k + 1 < acc.detections.size(); ++k)
                if (acc.detections[k].truth_id == entry.truth_id) true_positive = false;
            if (true_positive) {
                ++acc.tp_for_thresh;
                ++acc.tp_per_class[c];
                acc.avg_iou += max_iou;
                acc.iou_sum_per_class[c] += max_iou;
            } else {
                ++acc.fp_for_thresh;
                ++acc.fp_per_class[c];
            }
        }
    }
    acc.unique_truth_count += num_labels;
}

double average_precision(const pr_point *curve, int ranks, int recall_points)
{
    if (ranks <= 0) return 0;
    if (recall_points == 0) {
        double last_recall = curve[ranks - 1].recall;
        double max_precision = curve[ranks - 1].precision;
        double ap = 0;
        for (int r = ranks - 2; r >= 0; --r) {
            if (curve[r].precision > max_precision) max_precision = curve[r].precision;
            ap += (last_recall - curve[r].recall) * max_precision;
            last_recall = curve[r].recall;
        }
        return ap + last_recall * max_precision;
    }
    double sum = 0;
    for (int k = 0; k < recall_points; ++k) {
        // One recall point has no spacing: its only target is recall 0.
        const double target = recall_points > 1 ? (double)k / (recall_points - 1) : 0.0;
        double best = 0;
        for (int r = 0; r < ranks; ++r)
            if (curve[r].recall >= target && curve[r].precision > best) best = curve[r].precision;
        sum += best;
    }
    return sum / recall_points;
}

float map_finish(map_accumulator &acc, char **names, int names_count, int recall_points, float iou_thresh,
                 float conf_thresh, double *ap_per_class)
{
    const int classes = acc.classes;
    std::vector<scored_detection> &dets = acc.detections;
    std::stable_sort(dets.begin(), dets.end(),
                     [](const scored_detection &a, const scored_detection &b) { return a.score > b.score; });
    const int ranks = (int)dets.size();
    printf("\n detections_count = %d, unique_truth_count = %d  \n", ranks, acc.unique_truth_count);

    std::vector<int> detections_per_class(classes, 0);
    for (const scored_detection &d : dets) ++detections_per_class[d.class_id];

    // Curves are stored class after class: curve c occupies [c * ranks, (c + 1) * ranks).
    std::vector<pr_point> curves((size_t)classes * ranks);
    std::vector<char> truth_taken(acc.unique_truth_count, 0);
    for (int r = 0; r < ranks; ++r) {
        if (r % 100 == 0) printf(" rank = %d of ranks = %d \r", r, ranks);
        if (r > 0)
            for (int c = 0; c < classes; ++c) {
                curves[(size_t)c * ranks + r].tp = curves[(size_t)c * ranks + r - 1].tp;
                curves[(size_t)c * ranks + r].fp = curves[(size_t)c * ranks + r - 1].fp;
            }
        const scored_detection &d = dets[r];
        pr_point &own = curves[(size_t)d.class_id * ranks + r];
        if (d.matched && !truth_taken[d.truth_id]) {
            truth_taken[d.truth_id] = 1;
            ++own.tp;
        } else {
            ++own.fp;
        }
        for (int c = 0; c < classes; ++c) {
            pr_point &p = curves[(size_t)c * ranks + r];
            const int truth = acc.truth_per_class[c];
            p.fn = truth - p.tp;
            p.precision = p.tp + p.fp > 0 ? (double)p.tp / (p.tp + p.fp) : 0;
            p.recall = truth > 0 ? (double)p.tp / truth : 0;
            if (r == ranks - 1 && detections_per_class[c] != p.tp + p.fp)
                printf(" class_id: %d - detections = %d, tp+fp = %d, tp = %d, fp = %d \n", c, detections_per_class[c],
                       p.tp + p.fp, p.tp, p.fp);
        }
    }

    double ap_sum = 0;
    for (int c = 0; c < classes; ++c) {
        const double ap = average_precision(curves.data() + (size_t)c * ranks, ranks, recall_points);
        if (ap_per_class) ap_per_class[c] = ap;
        printf("class_id = %d, name = %s, ap = %2.2f%%   \t (TP = %d, FP = %d) \n", c,
               c < names_count && names ? names[c] : "", ap * 100, acc.tp_per_class[c], acc.fp_per_class[c]);
        ap_sum += ap;
    }
    const float mean_average_precision = classes > 0 ? (float)(ap_sum / classes) : 0.f;

    const int tp = acc.tp_for_thresh, fp = acc.fp_for_thresh;
    const float precision = (float)tp / ((float)tp + (float)fp);
    const float recall = (float)tp / ((float)tp + (float)(acc.unique_truth_count - tp));
    const float f1_score = 2.f * precision * recall / (precision + recall);
    printf("\n for conf_thresh = %1.2f, precision = %1.2f, recall = %1.2f, F1-score = %1.2f \n", conf_thresh, precision,
           recall, f1_score);
    const float avg_iou = tp + fp > 0 ? acc.avg_iou / (float)(tp + fp) : acc.avg_iou;
    printf(" for conf_thresh = %0.2f, TP = %d, FP = %d, FN = %d, average IoU = %2.2f %% \n", conf_thresh, tp, fp,
           acc.unique_truth_count - tp, avg_iou * 100);

    printf("\n IoU threshold = %2.0f %%, ", iou_thresh * 100);
    if (recall_points) printf("used %d Recall-points \n", recall_points);
    else printf("used Area-Under-Curve for each unique Recall \n");
    printf(" mean average precision (mAP@%0.2f) = %f, or %2.2f %% \n", iou_thresh, mean_average_precision,
           mean_average_precision * 100);
    return mean_average_precision;
}

// ---------------------------------------------------------------- validation

extern "C" QUILLON_API float validate_detector_map(const char *data_file, const char *cfg_file,
                                                   const char *weights_file, float conf_thresh, float iou_thresh,
                                                   int recall_points, int letter_box, network *shared_net)
{
    list *options = read_data_options(data_file);
    const char *valid_images = option_find_str(options, "valid", "data/train.txt");
    const char *difficult_images = option_find(options, "difficult");
    const char *name_list = option_find_str(options, "names", "data/names.list");
    if (shared_net) {
        const char *train_images = option_find_str(options, "train", "data/train.txt");
        valid_images = option_find_str(options, "valid", train_images);
    }

    network own_net = {};
    if (shared_net) {
        save_recurrent_state(*shared_net);
        reset_recurrent_state(*shared_net);
    } else {
        own_net = parse_network_cfg_custom(cfg_file, 1, 1);
        if (weights_file) load_weights(&own_net, weights_file);
        fuse_conv_batchnorm(own_net);
        calculate_binary_weights(own_net);
    }
    network &net = shared_net ? *shared_net : own_net;

    const int last_classes = net.layers[net.n - 1].classes;
    int names_count = 0;
    char **names = read_class_names(name_list, last_classes, &names_count);
    if (names_count != last_classes) {
        report_names_mismatch(name_list, names_count, last_classes, cfg_file);
        getchar();
    }

    srand((unsigned)time(nullptr));
    printf("\n calculation mAP (mean average precision)...\n");
    int m = 0;
    char **paths = get_paths(valid_images, &m);
    int difficult_count = 0;
    char **paths_difficult = difficult_images ? get_paths(difficult_images, &difficult_count) : nullptr;

    const layer l = last_detection_layer(net);
    const int classes = l.classes;
    map_accumulator acc = make_map_accumulator(classes);

    const float thresh = 0.005f;
    const float hier_thresh = 0;
    const int nthreads = std::min(4, m);
    std::vector<image> val(nthreads), val_resized(nthreads), buf(nthreads), buf_resized(nthreads);
    std::vector<pthread_t> thr(nthreads);

    load_args args = {};
    args.w = net.w;
    args.h = net.h;
    args.c = net.c;
    args.type = net.letter_box ? LOAD_LETTERBOX : LOAD_IMAGE;

    const time_t start = time(nullptr);
    for (int t = 0; t < nthreads; ++t) {
        args.path = paths[t];
        args.im = &buf[t];
        args.resized = &buf_resized[t];
        thr[t] = load_data_in_thread(args);
    }
    for (int i = nthreads; i < m + nthreads; i += nthreads) {
        fprintf(stderr, "\r%d", i);
        for (int t = 0; t < nthreads && i + t - nthreads < m; ++t) {
            pthread_join(thr[t], nullptr);
            val[t] = buf[t];
            val_resized[t] = buf_resized[t];
        }
        for (int t = 0; t < nthreads && i + t < m; ++t) {
            args.path = paths[i + t];
            args.im = &buf[t];
            args.resized = &buf_resized[t];
            thr[t] = load_data_in_thread(args);
        }
        for (int t = 0; t < nthreads && i + t - nthreads < m; ++t) {
            const int image_index = i + t - nthreads;
            const char *path = paths[image_index];
            network_predict(net, val_resized[t].data);

            int nboxes = 0;
            detection *dets = net.letter_box
                                  ? get_network_boxes(&net, val[t].w, val[t].h, thresh, hier_thresh, nullptr, 1,
                                                      &nboxes, 1)
                                  : get_network_boxes(&net, 1, 1, thresh, hier_thresh, nullptr, 0, &nboxes, 0);
            suppress(dets, nboxes, l);

            int num_labels = 0;
            label_box *truth = read_label_boxes(path, classes, &num_labels);
            int num_difficult = 0;
            label_box *truth_difficult = nullptr;
            if (paths_difficult && image_index < difficult_count)
                truth_difficult = read_label_boxes(paths_difficult[image_index], classes, &num_difficult);
            else if (paths_difficult)
                truth_difficult = (label_box *)xcalloc(1, sizeof(label_box));

            map_add_image(acc, dets, nboxes, truth, num_labels, truth_difficult, num_difficult, image_index,
                          iou_thresh, conf_thresh);

            free(truth_difficult);
            free(truth);
            free_detections(dets, nboxes);
            free_image(val[t]);
            free_image(val_resized[t]);
        }
    }

    const float mean_average_precision =
        map_finish(acc, names, std::max(names_count, classes), recall_points, iou_thresh, conf_thresh, nullptr);

    fprintf(stderr, "Total Detection Time: %d Seconds\n", (int)(time(nullptr) - start));
    printf("\nSet -points flag:\n");
    printf(" `-points 101` for MS COCO \n");
    printf(" `-points 11` for PascalVOC 2007 (uncomment `difficult` in voc.data) \n");
    printf(" `-points 0` (AUC) for ImageNet, PascalVOC 2010-2012, your custom dataset\n");

    free_class_names(names, std::max(names_count, last_classes));
    for (int i = 0; i < m; ++i) free(paths[i]);
    free(paths);
    if (paths_difficult) {
        for (int i = 0; i < difficult_count; ++i) free(paths_difficult[i]);
        free(paths_difficult);
    }
    free_options(options);
    if (shared_net) restore_recurrent_state(*shared_net);
    else free_network(own_net);
    return mean_average_precision;
}

// ---------------------------------------------------------------- single-image test

extern "C" QUILLON_API void test_detector(const char *data_file, const char *cfg_file, const char *weights_file,
                                          const char *filename, float thresh, float hier_thresh, int dont_show,
                                          int print_boxes, int write_labels, const char *json_file, int letter_box,
                                          int layer_timing)
{
    list *options = read_data_options(data_file);
    const char *name_list = option_find_str(options, "names", "data/names.list");
    image **alphabet = load_alphabet();

    network net = parse_network_cfg_custom(cfg_file, 1, 1);
    if (weights_file) load_weights(&net, weights_file);
    fuse_conv_batchnorm(net);
    calculate_binary_weights(net);

    const int last_classes = net.layers[net.n - 1].classes;
    int names_count = 0;
    char **names = read_class_names(name_list, last_classes, &names_count);
    if (names_count != last_classes) {
        report_names_mismatch(name_list, names_count, last_classes, cfg_file);
        if (names_count < last_classes) getchar();
    }

    srand(2222222);
    FILE *json_out = nullptr;
    if (json_file) {
        json_out = fopen(json_file, "wb");
        if (!json_out) quillon_error("fopen failed");
        fputs("[\n", json_out);
    }

    int json_image_id = 0;
    for (;;) {
        std::string input;
        if (filename) {
            input.assign(filename, strnlen(filename, 256));
            if (!input.empty() && input.back() == '\r') input.pop_back();
        } else {
            printf("Enter Image Path: ");
            fflush(stdout);
            char *line = fgetl(stdin);
            if (!line) break;
            input.assign(line, strnlen(line, 255));
            free(line);
        }

        image im = load_image(input.c_str(), 0, 0, net.c);
        if (net.letter_box) letter_box = 1;
        image sized = letter_box ? letterbox_image(im, net.w, net.h) : resize_image(im, net.w, net.h);
        const layer l = last_detection_layer(net);

        const double start = get_time_point();
        network_predict(net, sized.data);
        printf("%s: Predicted in %lf milli-seconds.\n", input.c_str(), (get_time_point() - start) / 1000);

        int nboxes = 0;
        detection *dets = get_network_boxes(&net, im.w, im.h, thresh, hier_thresh, nullptr, 1, &nboxes, letter_box);
        suppress(dets, nboxes, l);
        draw_detections_v3(im, dets, nboxes, thresh, names, alphabet, l.classes, print_boxes);
        save_image_options(im, "predictions");
        if (!dont_show) show_image(im, "predictions");

        if (json_out) {
            if (json_image_id > 0) fputs(", \n", json_out);
            ++json_image_id;
            char *text = detection_to_json(dets, nboxes, l.classes, names, json_image_id, input.c_str());
            if (text) fputs(text, json_out);
            free(text);
        }

        if (write_labels) {
            std::string label_path(input.size() + 1, '\0');
            image_path_to_label_path(input.c_str(), label_path.data());
            FILE *fw = fopen(label_path.c_str(), "wb");
            if (!fw) {
                fprintf(stderr, "Couldn't open file: %s\n", label_path.c_str());
            } else {
                for (int i = 0; i < nboxes; ++i) {
                    int class_id = -1;
                    float best = thresh;
                    for (int j = 0; j < l.classes; ++j)
                        if (dets[i].prob[j] > best) {
                            best = dets[i].prob[j];
                            class_id = j;
                        }
                    if (class_id < 0) continue;
                    const box b = dets[i].bbox;
                    fprintf(fw, "%d %2.4f %2.4f %2.4f %2.4f\n", class_id, b.x, b.y, b.w, b.h);
                }
                fclose(fw);
            }
        }

        free_detections(dets, nboxes);
        free_image(im);
        free_image(sized);
        if (filename) break;
    }

    if (json_out) {
        fputs("\n]", json_out);
        fclose(json_out);
    }
    free_class_names(names, std::max(names_count, last_classes));
    free_alphabet(alphabet);
    free_options(options);
    free_network(net);
}

// ---------------------------------------------------------------- training

extern "C" QUILLON_API void train_detector(const char *data_file, const char *cfg_file, const char *weights_file,
                                           int *gpu_indexes, int gpu_count, int clear, int dont_show, int measure_map,
                                           float thresh, float iou_thresh, int port, int show_imgs, int layer_timing)
{
    list *options = read_data_options(data_file);
    const char *train_images = option_find_str(options, "train", "data/train.txt");
    const char *valid_images = option_find_str(options, "valid", train_images);
    const char *backup_directory = option_find_str(options, "backup", "/backup/");

    network map_net = {};
    layer map_net_last = {};
    if (measure_map) {
        FILE *valid_file = fopen(valid_images, "r");
        if (!valid_file) {
            printf("\n Error: There is no %s file for mAP calculation!\n Don't use -map flag.\n Or set valid=%s in "
                   "your %s file. \n",
                   valid_images, train_images, data_file);
            getchar();
            exit(-1);
        }
        fclose(valid_file);
        printf(" Prepare additional network for mAP calculation...\n");
        map_net = parse_network_cfg_custom(cfg_file, 1, 1);
        const int classes = map_net.layers[map_net.n - 1].classes;
        // Before every pass the layers are re-pointed to the training network's; only the last one
        // keeps its own arrays, released at the end.
        for (int k = 0; k < map_net.n - 1; ++k) free_layer_custom(map_net.layers[k], 1);
        map_net_last = map_net.layers[map_net.n - 1];

        const char *name_list = option_find_str(options, "names", "data/names.list");
        int names_count = 0;
        char **names = get_paths(name_list, &names_count);
        if (names_count != classes) {
            report_names_mismatch(name_list, names_count, classes, cfg_file);
            if (names_count < classes) getchar();
        }
        free_class_names(names, names_count);
    }

    srand((unsigned)time(nullptr));
    char *base = path_base_name(cfg_file);
    printf("%s\n", base);
    // The CPU build trains one network; several GPU indexes have nothing to select here.
    const int ngpus = 1;
    srand((unsigned)time(nullptr));
    const int seed = rand();
    srand((unsigned)seed);
    network net = parse_network_cfg_custom(cfg_file, 0, 0);
    if (weights_file) load_weights(&net, weights_file);
    if (clear) {
        *net.seen = 0;
        *net.cur_iteration = 0;
    }
    net.learning_rate *= ngpus;

    srand((unsigned)time(nullptr));
    const int images_per_batch = net.batch * net.subdivisions;
    if (images_per_batch == 1) {
        printf("\n Error: You set incorrect value batch=1 for Training! You should set batch=64 subdivision=64 \n");
        getchar();
    } else if (images_per_batch < 8) {
        printf("\n Warning: You set batch=%d lower than 64! It is recommended to set batch=64 subdivision=64 \n",
               images_per_batch);
    }
    printf("Learning Rate: %g, Momentum: %g, Decay: %g\n", net.learning_rate, net.momentum, net.decay);

    const layer l = net.layers[net.n - 1];
    for (int k = 0; k < net.n; ++k)
        if (is_detection_head(net.layers[k].type)) printf(" Detection layer: %d - type = %d \n", k, (int)net.layers[k].type);

    int train_images_num = 0;
    char **paths = get_paths(train_images, &train_images_num);

    int imgs = net.batch * net.subdivisions * ngpus;
    const int start_w = net.w, start_h = net.h, start_batch = net.batch;
    data train = {}, buffer = {};
    load_args args = {};
    args.threads = 64;
    args.paths = paths;
    args.n = imgs;
    args.m = train_images_num;
    args.w = net.w;
    args.h = net.h;
    args.c = net.c;
    args.classes = l.classes;
    args.flip = net.flip;
    args.angle = net.angle;
    args.gaussian_noise = net.gaussian_noise;
    args.blur = net.blur;
    args.mixup = net.mixup;
    args.exposure = net.exposure;
    args.saturation = net.saturation;
    args.hue = net.hue;
    args.letter_box = net.letter_box;
    args.mosaic_bound = net.mosaic_bound;
    args.contrastive = net.contrastive;
    args.contrastive_jit_flip = net.contrastive_jit_flip;
    args.contrastive_color = net.contrastive_color;
    args.jitter = l.jitter;
    args.resize = l.resize;
    args.max_boxes = l.max_boxes;
    args.truth_size = l.truth_size;
    args.d = &buffer;
    args.type = LOAD_DETECTION;
    args.show_imgs = dont_show && show_imgs ? 2 : show_imgs;
    if (net.contrastive && args.threads > net.batch / 2) args.threads = net.batch / 2;
    if (net.track) {
        args.track = net.track;
        args.augment_speed = net.augment_speed;
        args.threads = (net.sequential_subdivisions ? net.sequential_subdivisions : net.subdivisions) * ngpus;
        args.mini_batch = net.batch / net.time_steps;
        printf("\n Tracking! batch = %d, subdiv = %d, time_steps = %d, mini_batch = %d \n", net.batch,
               net.subdivisions, net.time_steps, args.mini_batch);
    }
    pthread_t load_thread = load_data(args);

    float average_loss = -1;
    float mean_average_precision = -1, best_accuracy = -1;
    int numbered_save_at = get_current_iteration(net);
    int last_save_at = numbered_save_at;
    int map_at = numbered_save_at;
    int resize_count = 0;
    double hours_left = -1;

    while (get_current_iteration(net) < net.max_batches) {
        if (l.random && resize_count++ % 10 == 0) {
            const float rand_coef = l.random == 1.f ? 1.4f : l.random;
            printf("Resizing, random_coef = %.2f \n", rand_coef);
            const float random_val = random_scale(rand_coef);
            const int step = net.resize_step;
            int dim_w = (int)(std::round((double)(random_val * start_w / step + 1)) * step);
            int dim_h = (int)(std::round((double)(random_val * start_h / step + 1)) * step);
            if (random_val < 1 && (dim_w > start_w || dim_h > start_h)) {
                dim_w = start_w;
                dim_h = start_h;
            }
            const int max_dim_w = (int)(std::round((double)(rand_coef * start_w / step + 1)) * step);
            const int max_dim_h = (int)(std::round((double)(rand_coef * start_h / step + 1)) * step);
            // The largest size first allocates the largest buffers at once; the last iterations run
            // at a fixed size.
            if (average_loss < 0 || get_current_iteration(net) > net.max_batches - 100) {
                dim_w = max_dim_w;
                dim_h = max_dim_h;
            }
            dim_w = std::max(dim_w, step);
            dim_h = std::max(dim_h, step);
            int dim_b = (start_batch * max_dim_w * max_dim_h) / (dim_w * dim_h);
            const int new_dim_b = (int)(dim_b * 0.8);
            if (new_dim_b > start_batch) dim_b = new_dim_b;

            args.w = dim_w;
            args.h = dim_h;
            if (net.dynamic_minibatch) {
                *net.seen = (uint64_t)start_batch * net.subdivisions * get_current_iteration(net);
                net.batch = dim_b;
                for (int k = 0; k < net.n; ++k) net.layers[k].batch = dim_b;
                imgs = dim_b * net.subdivisions * ngpus;
                args.n = imgs;
                printf("\n %d x %d  (batch = %d) \n", dim_w, dim_h, dim_b);
            } else {
                printf("\n %d x %d \n", dim_w, dim_h);
            }
            pthread_join(load_thread, nullptr);
            free_data(buffer);
            load_thread = load_data(args);
            resize_network(&net, dim_w, dim_h);
        }

        const double t0 = wall_seconds();
        pthread_join(load_thread, nullptr);
        train = buffer;
        if (net.track) {
            net.sequential_subdivisions = get_current_seq_subdivisions(net);
            args.threads = net.sequential_subdivisions * ngpus;
            printf(" sequential_subdivisions = %d, sequence = %d \n", net.sequential_subdivisions,
                   net.sequential_subdivisions ? std::max(1, net.subdivisions / net.sequential_subdivisions) : 1);
        }
        load_thread = load_data(args);

        const double load_time = wall_seconds() - t0;
        printf("Loaded: %lf seconds", load_time);
        if (load_time > 0.1 && average_loss > 0) printf(" - performance bottleneck on CPU or Disk HDD/SSD");
        printf("\n");

        const double t1 = wall_seconds();
        const float loss = train_network_waitkey(net, train, 1);
        if (average_loss < 0 || average_loss != average_loss) average_loss = loss;
        average_loss = (float)(average_loss * 0.9 + loss * 0.1);

        const int iteration = get_current_iteration(net);
        const int calc_map_for_each = std::max(4 * train_images_num / (net.batch * net.subdivisions), 100);
        const int next_map_calc = std::max(map_at + calc_map_for_each, net.burn_in);
        if (measure_map) {
            printf("\n (next mAP calculation at %d iterations) ", next_map_calc);
            if (mean_average_precision > 0)
                printf("\n Last accuracy mAP@%0.2f = %2.2f %%, best = %2.2f %% ", iou_thresh,
                       mean_average_precision * 100, best_accuracy * 100);
        }
        if (net.cudnn_half) {
            if (iteration < 3 * net.burn_in)
                fprintf(stderr, "\n Tensor Cores are disabled until the first %d iterations are reached.\n",
                        3 * net.burn_in);
            else
                fprintf(stderr, "\n Tensor Cores are used.\n");
            fflush(stderr);
        }
        printf("\n %d: %f, %f avg loss, %f rate, %lf seconds, %d images, %f hours left\n", iteration, loss,
               average_loss, get_current_rate(net), wall_seconds() - t1, iteration * imgs, hours_left);
        fflush(stdout);

        if (measure_map && (iteration >= next_map_calc || iteration == net.max_batches)) {
            if (l.random) {
                printf("Resizing to initial size: %d x %d ", start_w, start_h);
                args.w = start_w;
                args.h = start_h;
                if (net.dynamic_minibatch) {
                    net.batch = start_batch;
                    for (int k = 0; k < net.n; ++k) net.layers[k].batch = start_batch;
                    imgs = start_batch * net.subdivisions * ngpus;
                    args.n = imgs;
                    printf("\n %d x %d  (batch = %d) \n", start_w, start_h, start_batch);
                }
                // The batch loaded at the old size is taken as train only to be freed below.
                pthread_join(load_thread, nullptr);
                free_data(train);
                train = buffer;
                load_thread = load_data(args);
                resize_network(&net, start_w, start_h);
            }
            copy_weights_net(net, &map_net);
            map_at = iteration;
            mean_average_precision = validate_detector_map(data_file, cfg_file, weights_file, thresh, iou_thresh, 0,
                                                           net.letter_box, &map_net);
            printf("\n mean_average_precision (mAP@%0.2f) = %f \n", iou_thresh, mean_average_precision);
            if (mean_average_precision >= best_accuracy) {
                best_accuracy = mean_average_precision;
                printf("New best mAP!\n");
                save_weights(net, weights_path(backup_directory, base, "_best").c_str());
            }
        }

        const double time_remaining =
            (double)((net.max_batches - iteration) / ngpus) * (wall_seconds() - t1 + load_time) / 60 / 60;
        hours_left = hours_left < 0 ? time_remaining : hours_left * 0.99 + time_remaining * 0.01;

        if (iteration >= numbered_save_at + 10000 || iteration % 10000 == 0 ||
            (net.max_batches < 10000 && (iteration >= numbered_save_at + 1000 || iteration % 1000 == 0))) {
            numbered_save_at = iteration;
            save_weights(net, weights_path(backup_directory, base, ("_" + std::to_string(iteration)).c_str()).c_str());
        }
        if (iteration >= last_save_at + 100 || (iteration % 100 == 0 && iteration > 1)) {
            last_save_at = iteration;
            save_weights(net, weights_path(backup_directory, base, "_last").c_str());
            if (net.ema_alpha && is_ema_initialized(net)) {
                const std::string ema = weights_path(backup_directory, base, "_ema");
                save_weights_upto(net, ema.c_str(), net.n, 1);
                printf(" EMA weights are saved to the file: %s \n", ema.c_str());
            }
        }
        free_data(train);
    }

    save_weights(net, weights_path(backup_directory, base, "_final").c_str());
    printf("If you want to train from the beginning, then use flag in the end of training command: -clear \n");
    pthread_join(load_thread, nullptr);
    free_data(buffer);
    free_load_threads(args);

    free(base);
    for (int i = 0; i < train_images_num; ++i) free(paths[i]);
    free(paths);
    free_options(options);
    free_network(net);
    if (measure_map) {
        map_net.n = 0;
        free_network(map_net);
        free_layer(map_net_last);
    }
}
