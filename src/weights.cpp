// Reading and writing weights files. The file names no layer kind or size: the network in hand
// decides what is read, through each kind's reader and writer in the layer-kind table.
#include "weights.h"

#include "layer.h"
#include "learning_rate.h"
#include "utils.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

size_t read_weights_array_quiet(float *a, size_t n, FILE *fp)
{
    if (!a || n == 0) return 0;
    return fread(a, sizeof(float), n, fp);
}

size_t read_weights_array(float *a, size_t n, FILE *fp, const char *name, int index)
{
    const size_t got = read_weights_array_quiet(a, n, fp);
    if (got > 0 && got < n) printf("\n Warning: Unexpected end of wights-file! %s - l.index = %d \n", name, index);
    return got;
}

void write_weights_array(const float *a, size_t n, FILE *fp)
{
    if (a && n) fwrite(a, sizeof(float), n, fp);
}

void transpose_matrix(float *a, int rows, int cols)
{
    const size_t count = (size_t)rows * cols;
    float *transposed = (float *)xcalloc(count, sizeof(float));
    for (int r = 0; r < rows; ++r)
        for (int k = 0; k < cols; ++k) transposed[(size_t)k * rows + r] = a[(size_t)r * cols + k];
    memcpy(a, transposed, count * sizeof(float));
    free(transposed);
}

void load_weights_upto(network *net, const char *filename, int cutoff)
{
    fprintf(stderr, "Loading weights from %s...", filename);
    fflush(stdout);
    FILE *fp = fopen(filename, "rb");
    if (!fp) fatal_open_error(filename);

    int32_t major = 0, minor = 0, revision = 0;
    if (fread(&major, sizeof major, 1, fp) != 1) major = 0;
    if (fread(&minor, sizeof minor, 1, fp) != 1) minor = 0;
    if (fread(&revision, sizeof revision, 1, fp) != 1) revision = 0;
    // Wide arithmetic: the version comes from the file and may be any value.
    if ((int64_t)major * 10 + minor >= 2) {
        printf("\n seen 64");
        uint64_t seen = 0;
        if (fread(&seen, sizeof seen, 1, fp) != 1) seen = 0;
        *net->seen = seen;
    } else {
        printf("\n seen 32");
        uint32_t seen = 0;
        if (fread(&seen, sizeof seen, 1, fp) != 1) seen = 0;
        *net->seen = seen;
    }
    *net->cur_iteration = get_current_batch(*net);
    printf(", trained: %.0f K-images (%.0f Kilo-batches_64) \n", (double)(*net->seen / 1000),
           (double)(*net->seen / 64000));
    const int transpose = major > 1000 || minor > 1000;

    int i = 0;
    for (; i < net->n && i < cutoff; ++i) {
        layer &l = net->layers[i];
        if (l.dontload) continue;
        const layer_kind *kind = get_layer_kind(l.type);
        if (kind && kind->read_weights && !l.share_layer) kind->read_weights(l, fp, transpose);
        if (feof(fp)) break;
    }
    fprintf(stderr, "Done! Loaded %d layers from weights-file \n", i);
    fclose(fp);
}

void load_weights(network *net, const char *filename)
{
    load_weights_upto(net, filename, net->n);
}

void save_weights_upto(network net, const char *filename, int cutoff, int save_ema)
{
    fprintf(stderr, "Saving weights to %s\n", filename);
    // Written beside the target and renamed into place, so an interrupted save (a crash, a kill, a
    // full disk) never leaves a half-written file under the final name.
    const std::string temporary = std::string(filename) + ".part" + std::to_string((long)getpid());
    FILE *fp = fopen(temporary.c_str(), "wb");
    if (!fp) fatal_open_error(filename);

    const int32_t major = 0, minor = 2, revision = 5;
    fwrite(&major, sizeof major, 1, fp);
    fwrite(&minor, sizeof minor, 1, fp);
    fwrite(&revision, sizeof revision, 1, fp);
    *net.seen = (uint64_t)net.subdivisions * (uint64_t)net.batch * (uint64_t)*net.cur_iteration;
    fwrite(net.seen, sizeof(uint64_t), 1, fp);

    for (int i = 0; i < net.n && i < cutoff; ++i) {
        const layer &l = net.layers[i];
        const layer_kind *kind = get_layer_kind(l.type);
        if (kind && kind->write_weights && !l.share_layer) kind->write_weights(l, fp, save_ema);
        fflush(fp);
    }
    const bool written = !ferror(fp);
    if (fclose(fp) != 0 || !written || rename(temporary.c_str(), filename) != 0) {
        remove(temporary.c_str());
        fprintf(stderr, "Couldn't write file: %s\n", filename);
        quillon_error("Weights file not written");
    }
}

void save_weights(network net, const char *filename)
{
    save_weights_upto(net, filename, net.n, 0);
}
