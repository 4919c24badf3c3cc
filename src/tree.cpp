// Reads class hierarchy files: one "name parent" line per node; consecutive lines with the same
// parent form a group.
#include "tree.h"

#include "utils.h"

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

[[noreturn]] static void reject_line(const char *path, int line_number, const char *why)
{
    fprintf(stderr, "Hierarchy file %s, line %d: %s\n", path, line_number, why);
    exit(1);
}

static void close_group(tree *t, int group_size)
{
    ++t->groups;
    t->group_offset = (int *)xrealloc(t->group_offset, t->groups * sizeof(int));
    t->group_size = (int *)xrealloc(t->group_size, t->groups * sizeof(int));
    t->group_offset[t->groups - 1] = t->n - group_size;
    t->group_size[t->groups - 1] = group_size;
}

extern "C" QUILLON_API tree *read_tree(const char *path)
{
    FILE *file = fopen(path, "r");
    if (!file) fatal_open_error(path);
    tree *t = (tree *)xcalloc(1, sizeof(tree));
    int group_size = 0;
    int last_parent = -1;
    char *line;
    while ((line = fgetl(file))) {
        const char *begin = line;
        while (*begin && isspace((unsigned char)*begin)) ++begin;
        const char *end = begin;
        while (*end && !isspace((unsigned char)*end)) ++end;
        if (end - begin >= TREE_NAME_SIZE) reject_line(path, t->n + 1, "class name longer than 255 characters");
        char *number_end;
        long read = strtol(end, &number_end, 10);
        if (number_end != end && read > INT_MAX) reject_line(path, t->n + 1, "parent index does not name a line");
        int parent = number_end == end || read < INT_MIN ? -1 : (int)read;

        char *name = (char *)xcalloc(TREE_NAME_SIZE, 1);
        memcpy(name, begin, (size_t)(end - begin));
        free(line);

        t->parent = (int *)xrealloc(t->parent, (t->n + 1) * sizeof(int));
        t->name = (char **)xrealloc(t->name, (t->n + 1) * sizeof(char *));
        t->group = (int *)xrealloc(t->group, (t->n + 1) * sizeof(int));
        t->parent[t->n] = parent;
        t->name[t->n] = name;
        if (parent != last_parent) {
            close_group(t, group_size);
            group_size = 0;
            last_parent = parent;
        }
        t->group[t->n] = t->groups;
        ++t->n;
        ++group_size;
    }
    fclose(file);
    close_group(t, group_size);

    // A parent must be a line of the file: it indexes the node arrays.
    for (int i = 0; i < t->n; ++i)
        if (t->parent[i] >= t->n) reject_line(path, i + 1, "parent index does not name a line");
    t->leaf = (int *)xcalloc(t->n ? t->n : 1, sizeof(int));
    for (int i = 0; i < t->n; ++i) t->leaf[i] = 1;
    for (int i = 0; i < t->n; ++i)
        if (t->parent[i] >= 0) t->leaf[t->parent[i]] = 0;
    return t;
}
