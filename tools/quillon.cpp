// The quillon command-line host program.
#include "quillon.h"

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 2 || !strcmp(argv[1], "--help")) {
        printf("usage: quillon <command> [args]\n");
        return argc < 2 ? 1 : 0;
    }
    fprintf(stderr, "quillon: unknown command '%s' (see quillon --help)\n", argv[1]);
    return 1;
}
