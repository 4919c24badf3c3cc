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
