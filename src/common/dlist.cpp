#include "common/dlist.h"

#include <new>

STATUS dlist_init(dlist_head *head) {
    if (head == nullptr)
        return NULLPOINTER_ERROR;
    head->data = nullptr;
    head->next = head;
    head->prev = head;
    return SUCCESS;
}

STATUS dlist_addnode(void *data, dlist_head *head) {
    if (head == nullptr)
        return NULLPOINTER_ERROR;
    dlist_node *node = new (std::nothrow) dlist_node;
    if (node == nullptr)
        return NULLPOINTER_ERROR;
    node->data = data;
    node->next = head;
    node->prev = head->prev;
    head->prev->next = node;
    head->prev = node;
    return SUCCESS;
}

void *dlist_delnode(dlist_node *node, dlist_head *head) {
    // The head itself carries no element; unlinking it would corrupt the ring.
    if (node == nullptr || head == nullptr || node == head)
        return nullptr;
    node->prev->next = node->next;
    node->next->prev = node->prev;
    void *data = node->data;
    delete node;
    return data;
}

void *dlist_firstnodedata(dlist_head *head) {
    if (head == nullptr || head->next == head)
        return nullptr;
    return head->next->data;
}

void *dlist_getnodedata(dlist_node *node, dlist_head *head) {
    if (node == nullptr || dlist_empty(head))
        return nullptr;
    return node->data;
}

bool dlist_empty(const dlist_head *head) {
    return head == nullptr || head->next == head;
}
