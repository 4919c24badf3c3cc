// A small doubly linked list of opaque values, appended at the back, never reordered.
#pragma once

struct node {
    void *val;
    node *next;
    node *prev;
};

struct list {
    int size;
    node *front;
    node *back;
};

list *make_list();
void list_insert(list *l, void *val);
void **list_to_array(list *l);
void free_list(list *l);
