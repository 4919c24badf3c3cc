// The quillon command-line host program.
#include "quillon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static void usage(FILE *out)
{
    fprintf(out, "usage: quillon <command> [args]\n"
                 "commands:\n"
                 "  layers <cfg>   build the network of a cfg file and print its layer table\n");
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
    fprintf(stderr, "quillon: unknown command '%s' (see quillon --help)\n", argv[1]);
    return 1;
}
