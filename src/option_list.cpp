// Option lookups with defaults, and the readers of flat key=value and line-list files.
#include "option_list.h"

#include "utils.h"

#include <cstdlib>
#include <cstring>

void option_insert(list *l, char *key, char *val)
{
    kvp *p = (kvp *)xmalloc(sizeof(kvp));
    p->key = key;
    p->val = val;
    p->used = 0;
    list_insert(l, p);
}

char *option_find(list *l, const char *key)
{
    for (node *n = l->front; n; n = n->next) {
        kvp *p = (kvp *)n->val;
        if (!strcmp(p->key, key)) {
            p->used = 1;
            return p->val;
        }
    }
    return nullptr;
}

const char *option_find_str(list *l, const char *key, const char *def)
{
    char *v = option_find(l, key);
    if (v) return v;
    if (def) fprintf(stderr, "%s: Using default '%s'\n", key, def);
    return def;
}

const char *option_find_str_quiet(list *l, const char *key, const char *def)
{
    char *v = option_find(l, key);
    return v ? v : def;
}

int option_find_int(list *l, const char *key, int def)
{
    char *v = option_find(l, key);
    if (v) return atoi(v);
    fprintf(stderr, "%s: Using default '%d'\n", key, def);
    return def;
}

int option_find_int_quiet(list *l, const char *key, int def)
{
    char *v = option_find(l, key);
    return v ? atoi(v) : def;
}

float option_find_float(list *l, const char *key, float def)
{
    char *v = option_find(l, key);
    if (v) return (float)atof(v);
    fprintf(stderr, "%s: Using default '%lf'\n", key, (double)def);
    return def;
}

float option_find_float_quiet(list *l, const char *key, float def)
{
    char *v = option_find(l, key);
    return v ? (float)atof(v) : def;
}

void option_unused(list *l)
{
    for (node *n = l->front; n; n = n->next) {
        kvp *p = (kvp *)n->val;
        if (!p->used) fprintf(stderr, "Unused field: '%s = %s'\n", p->key, p->val ? p->val : "(null)");
    }
}

void strip_whitespace(char *s)
{
    size_t out = 0;
    for (size_t i = 0; s[i]; ++i)
        if (s[i] != ' ' && s[i] != '\t' && s[i] != '\n' && s[i] != '\r') s[out++] = s[i];
    s[out] = '\0';
}

int read_option(char *line, list *options)
{
    char *eq = strchr(line, '=');
    if (!eq) {
        option_insert(options, line, nullptr);
        return 1;
    }
    *eq = '\0';
    if (eq[1] == '\0') return 0;
    option_insert(options, line, eq + 1);
    return 1;
}

void free_options(list *options)
{
    for (node *n = options->front; n; n = n->next) {
        kvp *p = (kvp *)n->val;
        free(p->key);
        free(p);
    }
    free_list(options);
}

list *read_data_options(const char *path)
{
    FILE *file = fopen(path, "r");
    if (!file) fatal_open_error(path);
    list *options = make_list();
    int line_number = 0;
    char *line;
    while ((line = fgetl(file))) {
        ++line_number;
        strip_whitespace(line);
        if (line[0] == '\0' || line[0] == '#' || line[0] == ';') {
            free(line);
        } else if (!read_option(line, options)) {
            fprintf(stderr, "Config file error line %d, could parse: %s\n", line_number, line);
            free(line);
        }
    }
    fclose(file);
    return options;
}

list *read_line_list(const char *path)
{
    FILE *file = fopen(path, "r");
    if (!file) fatal_open_error(path);
    list *lines = make_list();
    char *line;
    while ((line = fgetl(file))) list_insert(lines, line);
    fclose(file);
    return lines;
}

extern "C" QUILLON_API metadata get_metadata(const char *path)
{
    metadata m = {};
    list *options = read_data_options(path);
    const char *names_path = option_find_str(options, "names", nullptr);
    if (!names_path) names_path = option_find_str(options, "labels", nullptr);
    if (names_path) {
        list *names = read_line_list(names_path);
        m.names = (char **)list_to_array(names);
        free_list(names);
    } else {
        fprintf(stderr, "No names or labels found\n");
    }
    m.classes = option_find_int(options, "classes", 2);
    if (names_path) printf("Loaded - names_list: %s, classes = %d \n", names_path, m.classes);
    free_options(options);
    return m;
}
