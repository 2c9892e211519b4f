// Red-black tree of opaque keys and infos, ordered by an owner-supplied comparison.
//
// Comparison contract: Compare(a, b) returns exactly 1 when a sorts after b, 0 when they
// are equal, -1 when a sorts before b. Only 1 means "after" and only 0 means "equal".
// In insertion and exact query the first argument is the stored key, the second the key
// being placed or sought. Equal keys are stored to the right of existing ones, so a walk
// shows them in insertion order.
//
// Ownership: from RBTreeInsert on the tree owns key and info and releases them through
// DestroyKey / DestroyInfo when the entry is deleted or the tree destroyed.
//
// The tree takes no lock; its owner guards it.
#pragma once

typedef struct rb_red_blk_node {
    void *key;
    void *info;
    int red;  // 1 red, 0 black
    struct rb_red_blk_node *left;
    struct rb_red_blk_node *right;
    struct rb_red_blk_node *parent;
} rb_red_blk_node;

typedef struct rb_red_blk_tree {
    int (*Compare)(const void *a, const void *b);
    void (*DestroyKey)(void *a);
    void (*DestroyInfo)(void *a);
    void (*PrintKey)(const void *a);
    void (*PrintInfo)(void *a);
    void (*TreeTraverse)(const void *key, int operation);
    // root is a dummy above the real top node (root->left); nil is the shared black
    // sentinel that stands for every absent child.
    rb_red_blk_node *root;
    rb_red_blk_node *nil;
} rb_red_blk_tree;

// Creates an empty tree with the six callbacks. Never returns null.
rb_red_blk_tree *RBTreeCreate(int (*CompFunc)(const void *, const void *),
                              void (*DestFunc)(void *), void (*InfoDestFunc)(void *),
                              void (*PrintFunc)(const void *), void (*PrintInfo)(void *),
                              void (*Traverse)(const void *, int));

// Inserts key/info (no duplicate check) and returns the new node, which stays valid
// until its entry is deleted.
rb_red_blk_node *RBTreeInsert(rb_red_blk_tree *tree, void *key, void *info);

// A node whose key compares equal to q, or null (not nil) when there is none.
rb_red_blk_node *RBExactQuery(rb_red_blk_tree *tree, void *q);

// Removes z's entry, releases its key and info, frees z. Other nodes stay valid.
void RBDelete(rb_red_blk_tree *tree, rb_red_blk_node *z);

// Next node in key order; tree->nil after the last.
rb_red_blk_node *TreeSuccessor(rb_red_blk_tree *tree, rb_red_blk_node *x);

// Calls TreeTraverse(key, operation) for every entry in ascending key order. The
// callback may delete the entry it was handed and may start another walk of the same
// tree; every entry present at the start and not deleted is visited exactly once.
void RBTreeTraverse(rb_red_blk_tree *tree, int operation);

// In-order walk of the subtree under x, same guarantees as RBTreeTraverse.
void InorderTreeTraverse(rb_red_blk_tree *tree, rb_red_blk_node *x, int operation);

// Frees every entry (keys and infos through the callbacks), then the tree itself.
void RBTreeDestroy(rb_red_blk_tree *tree);
