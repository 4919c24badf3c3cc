// The generic list behind every text reader.
#include "list.h"

#include "utils.h"

#include <cstdlib>

list *make_list()
{
    list *l = (list *)xmalloc(sizeof(list));
    l->size = 0;
    l->front = nullptr;
    l->back = nullptr;
    return l;
}

void list_insert(list *l, void *val)
{
    node *n = (node *)xmalloc(sizeof(node));
    n->val = val;
    n->next = nullptr;
    n->prev = l->back;
    if (l->back) l->back->next = n;
    else l->front = n;
    l->back = n;
    ++l->size;
}

void **list_to_array(list *l)
{
    void **a = (void **)xcalloc(l->size ? l->size : 1, sizeof(void *));
    int i = 0;
    for (node *n = l->front; n; n = n->next) a[i++] = n->val;
    return a;
}

void free_list(list *l)
{
    node *n = l->front;
    while (n) {
        node *next = n->next;
        free(n);
        n = next;
    }
    free(l);
}
