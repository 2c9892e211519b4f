// Generic circular doubly linked list with a sentinel head.
//
// A list is a ring through its head; the head carries no element (its data is always
// null). An empty list is a head whose next and prev point at itself. Nodes do not own
// the elements they carry. Traversal starts at head->next and stops on reaching the head
// again, which visits elements oldest first.
#pragma once

typedef int STATUS;
enum { SUCCESS = 0, ERROR = -1, NULLPOINTER_ERROR = 100 };

struct dlist_s {
    void *data;
    struct dlist_s *next;
    struct dlist_s *prev;
};
typedef struct dlist_s dlist_head;
typedef struct dlist_s dlist_node;

// Makes head an empty list. NULLPOINTER_ERROR when head is null.
STATUS dlist_init(dlist_head *head);

// Appends a new node carrying data (not copied) just before the head.
// NULLPOINTER_ERROR when head is null or the node cannot be allocated.
STATUS dlist_addnode(void *data, dlist_head *head);

// Unlinks and frees node (never its element) and returns the element it carried.
// Null when either argument is null; node must belong to head's list.
void *dlist_delnode(dlist_node *node, dlist_head *head);

// Element of the first node; null when head is null or the list is empty.
void *dlist_firstnodedata(dlist_head *head);

// Element carried by node; null when node is null or head's list is empty.
void *dlist_getnodedata(dlist_node *node, dlist_head *head);

// True when head's list has no node (or head is null).
bool dlist_empty(const dlist_head *head);
