// Option lists (key=value records of a cfg section or a .data file) and their lookups with
// defaults; lookups mark what they read so that unread keys can be reported.
#pragma once
#include "list.h"
#include "quillon.h"

struct kvp {
    char *key;
    char *val;
    int used;
};

void option_insert(list *l, char *key, char *val);
char *option_find(list *l, const char *key);
const char *option_find_str(list *l, const char *key, const char *def);
const char *option_find_str_quiet(list *l, const char *key, const char *def);
int option_find_int(list *l, const char *key, int def);
int option_find_int_quiet(list *l, const char *key, int def);
float option_find_float(list *l, const char *key, float def);
float option_find_float_quiet(list *l, const char *key, float def);
void option_unused(list *l);

list *read_data_options(const char *path);
list *read_line_list(const char *path);

// Removes every blank, tab, carriage return and line feed from s, wherever they occur.
void strip_whitespace(char *s);
// Stores one "key=value" line (already stripped) in options, taking ownership of the line. Returns
// 0, storing nothing, when the value is empty; the line then holds only the key.
int read_option(char *line, list *options);
// Releases every kvp of an option list with its line buffer, then the list.
void free_options(list *options);
