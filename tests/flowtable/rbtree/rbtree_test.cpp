// Ordered tree: order and colour rules under random use, equal keys, ownership of keys
// and infos, walks that delete or nest, and the process-fatal helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "flowtable/rbtree/misc.h"
#include "flowtable/rbtree/red_black_tree.h"
#include "support/lbtest_util.h"

// The SafeMalloc death test asks for an impossible block; AddressSanitizer must hand
// back null like the system allocator instead of reporting the request.
extern "C" const char *__asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

// A key is an integer value plus the order in which it was inserted; only the value
// takes part in comparisons, the sequence number shows where equal keys ended up.
struct Key {
    int value;
    int seq;
};

int g_compareCalls = 0;
std::map<const void *, int> g_keyDestroyed;
std::map<const void *, int> g_infoDestroyed;
int g_nullInfoDestroyed = 0;

int keyCmp(const void *a, const void *b) {
    ++g_compareCalls;
    int x = static_cast<const Key *>(a)->value;
    int y = static_cast<const Key *>(b)->value;
    if (x > y)
        return 1;
    if (x < y)
        return -1;
    return 0;
}

// Breaks the contract: "after" is reported as 2.
int keyCmpTwo(const void *a, const void *b) {
    int r = keyCmp(a, b);
    return r == 1 ? 2 : r;
}

void keyDest(void *k) {
    ++g_keyDestroyed[k];
    free(k);
}

void infoDest(void *i) {
    if (i == nullptr) {
        ++g_nullInfoDestroyed;
        return;
    }
    ++g_infoDestroyed[i];
    free(i);
}

void noPrint(const void *) {}
void noPrintInfo(void *) {}

// State of the walk callbacks (the tree passes only key and operation).
std::vector<Key> g_visited;
rb_red_blk_tree *g_walkTree = nullptr;
std::map<const void *, rb_red_blk_node *> g_nodeOf;
int g_visitCount = 0;

void recordWalk(const void *key, int) {
    g_visited.push_back(*static_cast<const Key *>(key));
}

Key *newKey(int value, int seq) {
    auto *k = static_cast<Key *>(malloc(sizeof(Key)));
    k->value = value;
    k->seq = seq;
    return k;
}

rb_red_blk_tree *makeTree(int (*cmp)(const void *, const void *) = keyCmp,
                          void (*walk)(const void *, int) = recordWalk) {
    g_compareCalls = 0;
    g_keyDestroyed.clear();
    g_infoDestroyed.clear();
    g_nullInfoDestroyed = 0;
    g_visited.clear();
    g_nodeOf.clear();
    g_visitCount = 0;
    return RBTreeCreate(cmp, keyDest, infoDest, noPrint, noPrintInfo, walk);
}

std::vector<std::pair<int, int>> walkOrder(rb_red_blk_tree *t) {
    g_visited.clear();
    RBTreeTraverse(t, 0);
    std::vector<std::pair<int, int>> out;
    for (const Key &k : g_visited)
        out.emplace_back(k.value, k.seq);
    return out;
}

// Checks the subtree under x; returns its black height (nil counts 1) and its size.
int checkSubtree(rb_red_blk_tree *t, rb_red_blk_node *x, size_t *count) {
    if (x == t->nil)
        return 1;
    ++*count;
    EXPECT_EQ(x->left == t->nil || x->left->parent == x, true);
    EXPECT_EQ(x->right == t->nil || x->right->parent == x, true);
    if (x->red) {
        EXPECT_FALSE(x->left->red) << "red-red at " << static_cast<Key *>(x->key)->value;
        EXPECT_FALSE(x->right->red) << "red-red at " << static_cast<Key *>(x->key)->value;
    }
    int lh = checkSubtree(t, x->left, count);
    int rh = checkSubtree(t, x->right, count);
    EXPECT_EQ(lh, rh) << "black heights differ below " << static_cast<Key *>(x->key)->value;
    return lh + (x->red ? 0 : 1);
}

int heightOf(rb_red_blk_tree *t, rb_red_blk_node *x) {
    if (x == t->nil)
        return 0;
    return 1 + std::max(heightOf(t, x->left), heightOf(t, x->right));
}

void checkInvariants(rb_red_blk_tree *t, size_t expectedSize) {
    ASSERT_FALSE(t->nil->red);
    ASSERT_EQ(t->nil->key, nullptr);
    ASSERT_EQ(t->nil->left, t->nil);
    ASSERT_EQ(t->nil->right, t->nil);
    ASSERT_FALSE(t->root->red);
    ASSERT_EQ(t->root->key, nullptr);
    ASSERT_EQ(t->root->right, t->nil);
    ASSERT_EQ(t->root->parent, t->nil);
    if (t->root->left != t->nil) {
        ASSERT_EQ(t->root->left->parent, t->root);
        ASSERT_FALSE(t->root->left->red);
    }
    size_t count = 0;
    checkSubtree(t, t->root->left, &count);
    ASSERT_EQ(count, expectedSize);
    ASSERT_LE(heightOf(t, t->root->left), 2 * std::log2(static_cast<double>(count) + 1) + 1e-9);
}

std::vector<std::pair<int, int>> expectedOrder(const std::multimap<int, int> &m) {
    return {m.begin(), m.end()};
}

TEST(RbTree, RandomInsertDeleteKeepsOrderAndColourRules) {
    for (unsigned seed : {1u, 7u, 42u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        rb_red_blk_tree *t = makeTree();
        std::multimap<int, int> model;           // value -> seq, equal values in insertion order
        std::map<int, rb_red_blk_node *> nodes;  // seq -> node
        int seq = 0;
        for (int step = 0; step < 600; ++step) {
            bool insert = nodes.empty() || rng() % 100 < 60;
            if (insert) {
                // A narrow range of values gives many equal keys.
                int value = static_cast<int>(rng() % 40);
                Key *k = newKey(value, seq);
                int *info = static_cast<int *>(malloc(sizeof(int)));
                *info = seq;
                rb_red_blk_node *n = RBTreeInsert(t, k, info);
                ASSERT_EQ(n->key, k);
                ASSERT_EQ(n->info, info);
                nodes[seq] = n;
                model.emplace(value, seq);
                ++seq;
            } else {
                auto it = nodes.begin();
                std::advance(it, rng() % nodes.size());
                rb_red_blk_node *n = it->second;
                // The node still carries its own entry, whatever deletions moved around.
                Key *k = static_cast<Key *>(n->key);
                ASSERT_EQ(k->seq, it->first);
                ASSERT_EQ(*static_cast<int *>(n->info), it->first);
                int value = k->value;
                auto range = model.equal_range(value);
                for (auto m = range.first; m != range.second; ++m) {
                    if (m->second == it->first) {
                        model.erase(m);
                        break;
                    }
                }
                RBDelete(t, n);
                nodes.erase(it);
            }
            ASSERT_NO_FATAL_FAILURE(checkInvariants(t, model.size()));
            ASSERT_EQ(walkOrder(t), expectedOrder(model)) << "after step " << step;
        }
        // The successor chain gives the same order as the walk.
        std::vector<std::pair<int, int>> bySuccessor;
        if (t->root->left != t->nil) {
            rb_red_blk_node *x = t->root->left;
            while (x->left != t->nil)
                x = x->left;
            for (; x != t->nil; x = TreeSuccessor(t, x)) {
                auto *k = static_cast<Key *>(x->key);
                bySuccessor.emplace_back(k->value, k->seq);
            }
        }
        EXPECT_EQ(bySuccessor, expectedOrder(model));
        RBTreeDestroy(t);
    }
}

TEST(RbTree, EqualKeysComeOutInInsertionOrderAndQueryFindsOne) {
    rb_red_blk_tree *t = makeTree();
    const int values[] = {5, 3, 5, 8, 5, 3, 5};
    for (int i = 0; i < 7; ++i)
        RBTreeInsert(t, newKey(values[i], i), nullptr);
    std::vector<std::pair<int, int>> want = {{3, 1}, {3, 5}, {5, 0}, {5, 2},
                                             {5, 4}, {5, 6}, {8, 3}};
    EXPECT_EQ(walkOrder(t), want);

    Key probe{5, -1};
    rb_red_blk_node *found = RBExactQuery(t, &probe);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(static_cast<Key *>(found->key)->value, 5);
    Key missing{4, -1};
    EXPECT_EQ(RBExactQuery(t, &missing), nullptr);
    Key aboveAll{9, -1};
    EXPECT_EQ(RBExactQuery(t, &aboveAll), nullptr);
    RBTreeDestroy(t);
}

TEST(RbTree, EmptyTree) {
    rb_red_blk_tree *t = makeTree();
    Key probe{1, 0};
    EXPECT_EQ(RBExactQuery(t, &probe), nullptr);
    EXPECT_EQ(g_compareCalls, 0);
    EXPECT_TRUE(walkOrder(t).empty());
    RBTreeDestroy(t);
    EXPECT_TRUE(g_keyDestroyed.empty());
    EXPECT_EQ(g_nullInfoDestroyed, 0);
}

TEST(RbTree, SuccessorOfGreatestIsNil) {
    rb_red_blk_tree *t = makeTree();
    rb_red_blk_node *greatest = nullptr;
    for (int v : {4, 9, 1, 7}) {
        rb_red_blk_node *n = RBTreeInsert(t, newKey(v, v), nullptr);
        if (v == 9)
            greatest = n;
    }
    rb_red_blk_node *s = TreeSuccessor(t, greatest);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(s, t->nil);
    // A lone entry is both least and greatest.
    rb_red_blk_tree *one = makeTree();
    rb_red_blk_node *only = RBTreeInsert(one, newKey(1, 0), nullptr);
    EXPECT_EQ(TreeSuccessor(one, only), one->nil);
    RBTreeDestroy(one);
    RBTreeDestroy(t);
}

TEST(RbTree, ComparisonReportingTwoForAfterIsNotOrdered) {
    // Only 1 sends a key to the left, so with 2 every key goes right: the walk shows
    // insertion order instead of ascending order, and a query steers right past keys it
    // should have found on the left.
    rb_red_blk_tree *broken = makeTree(keyCmpTwo);
    for (int v : {30, 10, 20, 5})
        RBTreeInsert(broken, newKey(v, v), nullptr);
    std::vector<std::pair<int, int>> insertionOrder = {{30, 30}, {10, 10}, {20, 20}, {5, 5}};
    EXPECT_EQ(walkOrder(broken), insertionOrder);
    Key probe{5, -1};
    EXPECT_NE(RBExactQuery(broken, &probe), nullptr);  // rightmost: still reachable
    // 30, inserted first, was rotated to the left of the top (10); a query for it
    // compares -1 at the top and searches the right side only.
    Key probe30{30, -1};
    EXPECT_EQ(RBExactQuery(broken, &probe30), nullptr);
    RBTreeDestroy(broken);

    rb_red_blk_tree *ok = makeTree(keyCmp);
    for (int v : {30, 10, 20, 5})
        RBTreeInsert(ok, newKey(v, v), nullptr);
    std::vector<std::pair<int, int>> sorted = {{5, 5}, {10, 10}, {20, 20}, {30, 30}};
    EXPECT_EQ(walkOrder(ok), sorted);
    EXPECT_NE(RBExactQuery(ok, &probe30), nullptr);
    RBTreeDestroy(ok);
}

TEST(RbTree, KeysAndInfosReleasedOnceOnDeleteAndDestroy) {
    rb_red_blk_tree *t = makeTree();
    std::vector<rb_red_blk_node *> nodes;
    std::vector<void *> keys, infos;
    for (int i = 0; i < 20; ++i) {
        Key *k = newKey(i % 6, i);
        // Every third entry has no info: DestroyInfo still gets its null.
        void *info = (i % 3 == 0) ? nullptr : malloc(8);
        keys.push_back(k);
        infos.push_back(info);
        nodes.push_back(RBTreeInsert(t, k, info));
    }
    // Delete nodes with two children as well as leaves (root first, then a spread).
    std::vector<int> deleted;
    for (int i : {0, 5, 13, 19, 2}) {
        void *k = keys[i];
        void *info = infos[i];
        int nullsBefore = g_nullInfoDestroyed;
        RBDelete(t, nodes[i]);
        deleted.push_back(i);
        EXPECT_EQ(g_keyDestroyed[k], 1);
        if (info != nullptr) {
            EXPECT_EQ(g_infoDestroyed[info], 1);
        } else {
            EXPECT_EQ(g_nullInfoDestroyed, nullsBefore + 1);
        }
        EXPECT_EQ(g_keyDestroyed.size(), deleted.size());
    }
    RBTreeDestroy(t);
    ASSERT_EQ(g_keyDestroyed.size(), keys.size());
    for (void *k : keys)
        EXPECT_EQ(g_keyDestroyed[k], 1);
    size_t withInfo = 0;
    for (void *info : infos) {
        if (info == nullptr)
            continue;
        ++withInfo;
        EXPECT_EQ(g_infoDestroyed[info], 1);
    }
    EXPECT_EQ(g_infoDestroyed.size(), withInfo);
    EXPECT_EQ(static_cast<size_t>(g_nullInfoDestroyed), infos.size() - withInfo);
}

void deleteEveryOther(const void *key, int) {
    const Key *k = static_cast<const Key *>(key);
    g_visited.push_back(*k);
    if (g_visitCount++ % 2 == 0)
        RBDelete(g_walkTree, g_nodeOf.at(key));
}

void deleteEvery(const void *key, int) {
    g_visited.push_back(*static_cast<const Key *>(key));
    RBDelete(g_walkTree, g_nodeOf.at(key));
}

TEST(RbTree, WalkMayDeleteTheEntryItWasHanded) {
    for (auto cb : {deleteEveryOther, deleteEvery}) {
        for (int n = 1; n <= 40; ++n) {
            SCOPED_TRACE("size " + std::to_string(n));
            rb_red_blk_tree *t = makeTree(keyCmp, cb);
            g_walkTree = t;
            std::mt19937 rng(static_cast<unsigned>(n));
            std::multimap<int, int> model;
            for (int i = 0; i < n; ++i) {
                int v = static_cast<int>(rng() % 15);
                Key *k = newKey(v, i);
                g_nodeOf[k] = RBTreeInsert(t, k, nullptr);
                model.emplace(v, i);
            }
            RBTreeTraverse(t, 2);
            std::vector<std::pair<int, int>> seen;
            for (const Key &k : g_visited)
                seen.emplace_back(k.value, k.seq);
            EXPECT_EQ(seen, expectedOrder(model));  // each once, ascending

            std::vector<std::pair<int, int>> survivors;
            if (cb == deleteEveryOther) {
                for (size_t i = 1; i < seen.size(); i += 2)
                    survivors.push_back(seen[i]);
            }
            g_walkTree = nullptr;
            g_visited.clear();
            t->TreeTraverse = recordWalk;
            EXPECT_EQ(walkOrder(t), survivors);
            ASSERT_NO_FATAL_FAILURE(checkInvariants(t, survivors.size()));
            RBTreeDestroy(t);
        }
    }
}

// Outer callback: deletes its own entry, then walks the same tree again (as the flow
// table does when a removal rewrites its file), recording what the inner walk sees.
std::vector<std::vector<int>> g_innerWalks;
std::vector<int> g_outerSeen;

void innerRecord(const void *key, int) {
    g_innerWalks.back().push_back(static_cast<const Key *>(key)->value);
}

void outerDeleteThenNest(const void *key, int operation) {
    if (operation == 9) {
        innerRecord(key, operation);
        return;
    }
    int v = static_cast<const Key *>(key)->value;
    g_outerSeen.push_back(v);
    if (v % 3 == 0) {
        RBDelete(g_walkTree, g_nodeOf.at(key));
        g_innerWalks.emplace_back();
        RBTreeTraverse(g_walkTree, 9);
    }
}

TEST(RbTree, CallbackMayStartANestedWalk) {
    rb_red_blk_tree *t = makeTree(keyCmp, outerDeleteThenNest);
    g_walkTree = t;
    g_innerWalks.clear();
    g_outerSeen.clear();
    for (int v = 1; v <= 10; ++v) {
        Key *k = newKey(v, v);
        g_nodeOf[k] = RBTreeInsert(t, k, nullptr);
    }
    RBTreeTraverse(t, 1);
    EXPECT_EQ(g_outerSeen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    std::vector<std::vector<int>> wantInner = {
        {1, 2, 4, 5, 6, 7, 8, 9, 10},
        {1, 2, 4, 5, 7, 8, 9, 10},
        {1, 2, 4, 5, 7, 8, 10},
    };
    EXPECT_EQ(g_innerWalks, wantInner);
    g_walkTree = nullptr;
    RBTreeDestroy(t);
}

TEST(RbTree, InorderWalkOfASubtreeStaysInside) {
    rb_red_blk_tree *t = makeTree();
    for (int v = 1; v <= 15; ++v)
        RBTreeInsert(t, newKey(v, v), nullptr);
    rb_red_blk_node *sub = t->root->left->left;  // left subtree of the top
    std::vector<int> want;
    // Reference: recursive collection of that subtree's keys.
    std::function<void(rb_red_blk_node *)> collect = [&](rb_red_blk_node *x) {
        if (x == t->nil)
            return;
        collect(x->left);
        want.push_back(static_cast<Key *>(x->key)->value);
        collect(x->right);
    };
    collect(sub);
    ASSERT_FALSE(want.empty());
    ASSERT_LT(want.size(), 15u);
    g_visited.clear();
    InorderTreeTraverse(t, sub, 0);
    std::vector<int> got;
    for (const Key &k : g_visited)
        got.push_back(k.value);
    EXPECT_EQ(got, want);
    RBTreeDestroy(t);
}

// Death-test children are re-executed in the directory the suite was started from and
// do not know the scratch directory; the parent hands it down in the environment. The
// child's standard output goes to a file there (its standard error may carry sanitizer
// warnings), which the parent reads whole.
std::string capturePath(const char *name) {
    const char *dir = getenv("RBTREE_CAPTURE_DIR");
    if (dir == nullptr) {
        setenv("RBTREE_CAPTURE_DIR", lbtest::scratchDir().c_str(), 1);
        dir = getenv("RBTREE_CAPTURE_DIR");
    }
    return std::string(dir) + "/" + name;
}

void stdoutTo(const std::string &path) {
    if (freopen(path.c_str(), "w", stdout) == nullptr)
        _exit(3);
}

TEST(RbTreeDeathTest, AssertFailurePrintsAndExitsMinusOne) {
    const std::string out = capturePath("assert_out.txt");
    EXPECT_EXIT(
        {
            stdoutTo(out);
            Assert(0, "nil not red in LeftRotate");
        },
        testing::ExitedWithCode(255), "");
    EXPECT_EQ(lbtest::readFile(out), "Assertion Failed: nil not red in LeftRotate\n");
}

TEST(RbTreeDeathTest, AssertTrueDoesNothing) {
    const std::string out = capturePath("assert_true.txt");
    EXPECT_EXIT(
        {
            stdoutTo(out);
            Assert(1, "must not appear");
            printf("returned\n");
            fflush(stdout);
            _exit(7);
        },
        testing::ExitedWithCode(7), "");
    EXPECT_EQ(lbtest::readFile(out), "returned\n");
}

TEST(RbTreeDeathTest, SafeMallocFailurePrintsOneLineAndExitsMinusOne) {
    const std::string out = capturePath("malloc_out.txt");
    EXPECT_EXIT(
        {
            stdoutTo(out);
            volatile size_t huge = SIZE_MAX - 4096;
            SafeMalloc(huge);
            _exit(4);  // reached only if SafeMalloc returned
        },
        testing::ExitedWithCode(255), "");
    EXPECT_EQ(lbtest::readFile(out),
              "memory overflow: malloc failed in SafeMalloc.  Exiting Program.\n");
}

}  // namespace
