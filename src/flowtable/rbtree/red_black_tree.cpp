// Red-black tree with one shared black sentinel (nil) and a dummy node (root) above the
// real top node, which hangs off root->left. The dummy makes the top an ordinary left
// child, so rotations and splices need no special case for it.
#include "flowtable/rbtree/red_black_tree.h"

#include <cstdlib>

#include "flowtable/rbtree/misc.h"

// Stores the six callbacks and allocates the sentinel and the dummy root. Allocation
// failure ends the process (SafeMalloc), so this never returns null.
rb_red_blk_tree *RBTreeCreate(int (*CompFunc)(const void *, const void *), void (*DestFunc)(void *),
                              void (*InfoDestFunc)(void *), void (*PrintFunc)(const void *),
                              void (*PrintInfo)(void *), void (*Traverse)(const void *, int)) {
    auto *newTree = static_cast<rb_red_blk_tree *>(SafeMalloc(sizeof(rb_red_blk_tree)));
    newTree->Compare = CompFunc;
    newTree->DestroyKey = DestFunc;
    newTree->DestroyInfo = InfoDestFunc;
    newTree->PrintKey = PrintFunc;
    newTree->PrintInfo = PrintInfo;
    newTree->TreeTraverse = Traverse;

    rb_red_blk_node *temp = newTree->nil =
        static_cast<rb_red_blk_node *>(SafeMalloc(sizeof(rb_red_blk_node)));
    temp->parent = temp->left = temp->right = temp;
    temp->red = 0;
    temp->key = nullptr;
    temp->info = nullptr;

    temp = newTree->root = static_cast<rb_red_blk_node *>(SafeMalloc(sizeof(rb_red_blk_node)));
    temp->parent = temp->left = temp->right = newTree->nil;
    temp->key = nullptr;
    temp->info = nullptr;
    temp->red = 0;
    return newTree;
}

// Rotates x's right child y up into x's place; x becomes y's left child.
static void LeftRotate(rb_red_blk_tree *tree, rb_red_blk_node *x) {
    rb_red_blk_node *nil = tree->nil;
    rb_red_blk_node *y = x->right;
    x->right = y->left;
    if (y->left != nil)
        y->left->parent = x;
    y->parent = x->parent;
    // x may be the top node: then its parent is root and x sits in root->left.
    if (x == x->parent->left) {
        x->parent->left = y;
    } else {
        x->parent->right = y;
    }
    y->left = x;
    x->parent = y;
    Assert(!tree->nil->red, "nil not red in LeftRotate");
}

// Mirror of LeftRotate: y's left child x moves up into y's place.
static void RightRotate(rb_red_blk_tree *tree, rb_red_blk_node *y) {
    rb_red_blk_node *nil = tree->nil;
    rb_red_blk_node *x = y->left;
    y->left = x->right;
    if (x->right != nil)
        x->right->parent = y;
    x->parent = y->parent;
    if (y == y->parent->left) {
        y->parent->left = x;
    } else {
        y->parent->right = x;
    }
    x->right = y;
    y->parent = x;
    Assert(!tree->nil->red, "nil not red in RightRotate");
}

// Plain binary-search-tree insertion of z (colour untouched). Only a comparison result
// of exactly 1 sends z to the left, so a key equal to stored ones lands to their right.
static void TreeInsertHelp(rb_red_blk_tree *tree, rb_red_blk_node *z) {
    rb_red_blk_node *nil = tree->nil;
    z->left = z->right = nil;
    rb_red_blk_node *y = tree->root;
    rb_red_blk_node *x = tree->root->left;
    while (x != nil) {
        y = x;
        if (1 == tree->Compare(x->key, z->key)) {
            x = x->left;
        } else {
            x = x->right;
        }
    }
    z->parent = y;
    if ((y == tree->root) || (1 == tree->Compare(y->key, z->key))) {
        y->left = z;
    } else {
        y->right = z;
    }
    Assert(!tree->nil->red, "nil not red in TreeInsertHelp");
}

// Links a new node in and restores the colour rules. Never refuses an entry.
rb_red_blk_node *RBTreeInsert(rb_red_blk_tree *tree, void *key, void *info) {
    auto *x = static_cast<rb_red_blk_node *>(SafeMalloc(sizeof(rb_red_blk_node)));
    x->key = key;
    x->info = info;
    TreeInsertHelp(tree, x);
    rb_red_blk_node *newNode = x;
    x->red = 1;
    // root is black, so the loop stops below it without a test for the top.
    while (x->parent->red) {
        if (x->parent == x->parent->parent->left) {
            rb_red_blk_node *y = x->parent->parent->right;
            if (y->red) {
                x->parent->red = 0;
                y->red = 0;
                x->parent->parent->red = 1;
                x = x->parent->parent;
            } else {
                if (x == x->parent->right) {
                    x = x->parent;
                    LeftRotate(tree, x);
                }
                x->parent->red = 0;
                x->parent->parent->red = 1;
                RightRotate(tree, x->parent->parent);
            }
        } else {
            rb_red_blk_node *y = x->parent->parent->left;
            if (y->red) {
                x->parent->red = 0;
                y->red = 0;
                x->parent->parent->red = 1;
                x = x->parent->parent;
            } else {
                if (x == x->parent->left) {
                    x = x->parent;
                    RightRotate(tree, x);
                }
                x->parent->red = 0;
                x->parent->parent->red = 1;
                LeftRotate(tree, x->parent->parent);
            }
        }
    }
    tree->root->left->red = 0;
    return newNode;
}

// In-order successor of x, or nil after the greatest entry.
rb_red_blk_node *TreeSuccessor(rb_red_blk_tree *tree, rb_red_blk_node *x) {
    rb_red_blk_node *nil = tree->nil;
    rb_red_blk_node *root = tree->root;
    rb_red_blk_node *y = x->right;
    if (y != nil) {
        while (y->left != nil)
            y = y->left;
        return y;
    }
    y = x->parent;
    while (x == y->right) {
        x = y;
        y = y->parent;
    }
    // Climbing out of the top's left slot lands on the dummy root: nothing follows.
    if (y == root)
        return nil;
    return y;
}

// Post-order release of the subtree under x, keys and infos through the callbacks.
static void TreeDestHelper(rb_red_blk_tree *tree, rb_red_blk_node *x) {
    if (x == tree->nil)
        return;
    TreeDestHelper(tree, x->left);
    TreeDestHelper(tree, x->right);
    tree->DestroyKey(x->key);
    tree->DestroyInfo(x->info);
    free(x);
}

// Releases every entry, then the dummy root, the sentinel and the record.
void RBTreeDestroy(rb_red_blk_tree *tree) {
    TreeDestHelper(tree, tree->root->left);
    free(tree->root);
    free(tree->nil);
    free(tree);
}

// The walk keeps its position in locals only (the next node is taken before each
// callback), so the callback may delete the node it was handed, or start another walk
// of the same tree. Deletion never moves a surviving entry to another node and never
// changes the order of survivors, so the saved next node and the end marker stay valid.
void InorderTreeTraverse(rb_red_blk_tree *tree, rb_red_blk_node *x, int operation) {
    rb_red_blk_node *nil = tree->nil;
    if (x == nil || x == nullptr)
        return;
    rb_red_blk_node *last = x;
    while (last->right != nil)
        last = last->right;
    // The entry after the subtree: the walk stops on reaching it. It lies outside the
    // subtree, so no callback of this walk deletes it.
    rb_red_blk_node *stop = TreeSuccessor(tree, last);
    rb_red_blk_node *cur = x;
    while (cur->left != nil)
        cur = cur->left;
    while (cur != stop) {
        rb_red_blk_node *next = TreeSuccessor(tree, cur);
        tree->TreeTraverse(cur->key, operation);
        cur = next;
    }
}

// Visits every entry in ascending key order.
void RBTreeTraverse(rb_red_blk_tree *tree, int operation) {
    InorderTreeTraverse(tree, tree->root->left, operation);
}

// Finds a node whose key equals q; null (not nil) when none does. Compare is not
// called on an empty tree.
rb_red_blk_node *RBExactQuery(rb_red_blk_tree *tree, void *q) {
    rb_red_blk_node *x = tree->root->left;
    rb_red_blk_node *nil = tree->nil;
    if (x == nil)
        return nullptr;
    int compVal = tree->Compare(x->key, q);
    while (0 != compVal) {
        if (1 == compVal) {
            x = x->left;
        } else {
            x = x->right;
        }
        if (x == nil)
            return nullptr;
        compVal = tree->Compare(x->key, q);
    }
    return x;
}

// Restores the colour rules after a black node was spliced out above x.
static void RBDeleteFixUp(rb_red_blk_tree *tree, rb_red_blk_node *x) {
    // The top node is read afresh each time: a rotation at the top replaces it.
    while ((!x->red) && (tree->root->left != x)) {
        if (x == x->parent->left) {
            rb_red_blk_node *w = x->parent->right;
            if (w->red) {
                w->red = 0;
                x->parent->red = 1;
                LeftRotate(tree, x->parent);
                w = x->parent->right;
            }
            if ((!w->right->red) && (!w->left->red)) {
                w->red = 1;
                x = x->parent;
            } else {
                if (!w->right->red) {
                    w->left->red = 0;
                    w->red = 1;
                    RightRotate(tree, w);
                    w = x->parent->right;
                }
                w->red = x->parent->red;
                x->parent->red = 0;
                w->right->red = 0;
                LeftRotate(tree, x->parent);
                x = tree->root->left;  // ends the loop
            }
        } else {
            rb_red_blk_node *w = x->parent->left;
            if (w->red) {
                w->red = 0;
                x->parent->red = 1;
                RightRotate(tree, x->parent);
                w = x->parent->left;
            }
            if ((!w->right->red) && (!w->left->red)) {
                w->red = 1;
                x = x->parent;
            } else {
                if (!w->left->red) {
                    w->right->red = 0;
                    w->red = 1;
                    LeftRotate(tree, w);
                    w = x->parent->left;
                }
                w->red = x->parent->red;
                x->parent->red = 0;
                w->left->red = 0;
                RightRotate(tree, x->parent);
                x = tree->root->left;  // ends the loop
            }
        }
    }
    x->red = 0;
    Assert(!tree->nil->red, "nil not black in RBDeleteFixUp");
}

// Removes z's entry. When z has two children its successor y is spliced out of its own
// position and then put into z's: y keeps its node, so pointers to surviving entries
// stay valid. The freed node is always z.
void RBDelete(rb_red_blk_tree *tree, rb_red_blk_node *z) {
    rb_red_blk_node *nil = tree->nil;
    rb_red_blk_node *root = tree->root;

    rb_red_blk_node *y = ((z->left == nil) || (z->right == nil)) ? z : TreeSuccessor(tree, z);
    rb_red_blk_node *x = (y->left == nil) ? y->right : y->left;
    // x may be nil: its parent is still set, the fix-up climbs from it.
    x->parent = y->parent;
    if (root == x->parent) {
        root->left = x;
    } else {
        if (y == y->parent->left) {
            y->parent->left = x;
        } else {
            y->parent->right = x;
        }
    }
    if (y != z) {
        Assert((y != tree->nil), "y is nil in RBDelete\n");
        if (!(y->red))
            RBDeleteFixUp(tree, x);

        tree->DestroyKey(z->key);
        tree->DestroyInfo(z->info);
        y->left = z->left;
        y->right = z->right;
        y->parent = z->parent;
        y->red = z->red;
        z->left->parent = z->right->parent = y;
        if (z == z->parent->left) {
            z->parent->left = y;
        } else {
            z->parent->right = y;
        }
        free(z);
    } else {
        tree->DestroyKey(y->key);
        tree->DestroyInfo(y->info);
        if (!(y->red))
            RBDeleteFixUp(tree, x);
        free(y);
    }
    Assert(!tree->nil->red, "nil not black in RBDelete");
}
