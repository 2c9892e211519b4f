// Ordered tree: order and colour rules under random use, equal keys, ownership of keys
// and infos, walks that delete or nest, and the process-fatal helpers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <random>
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

// Key {value, seq}: only value is compared; seq shows where equal keys ended up.
using Key = std::pair<int, int>;
using Order = std::vector<Key>;

int g_compareCalls = 0, g_nullInfoDestroyed = 0;
// Releases are counted by seq, so a reused address cannot hide a double release.
std::map<int, int> g_keyDestroyed, g_infoDestroyed;
// State of the walk callbacks (the tree hands them only key and operation).
Order g_visited;
rb_red_blk_tree *g_walkTree = nullptr;
std::map<const void *, rb_red_blk_node *> g_nodeOf;

int keyCmp(const void *a, const void *b) {
    ++g_compareCalls;
    int x = static_cast<const Key *>(a)->first, y = static_cast<const Key *>(b)->first;
    return x > y ? 1 : (x < y ? -1 : 0);
}

void keyDest(void *k) {
    ++g_keyDestroyed[static_cast<Key *>(k)->second];
    free(k);
}

void infoDest(void *i) {
    ++(i == nullptr ? g_nullInfoDestroyed : g_infoDestroyed[*static_cast<int *>(i)]);
    free(i);
}

const Key &keyOf(const void *key) {
    return *static_cast<const Key *>(key);
}

void recordWalk(const void *key, int) {
    g_visited.push_back(keyOf(key));
}

rb_red_blk_tree *makeTree(void (*walk)(const void *, int) = recordWalk) {
    g_compareCalls = g_nullInfoDestroyed = 0;
    g_keyDestroyed = g_infoDestroyed = {};
    g_visited.clear();
    g_nodeOf.clear();
    return RBTreeCreate(
        keyCmp, keyDest, infoDest, [](const void *) {}, [](void *) {}, walk);
}

// Inserts {value, seq} with an info holding seq, null for every fifth; remembers the node.
rb_red_blk_node *insert(rb_red_blk_tree *t, int value, int seq) {
    int *info = seq % 5 == 0 ? nullptr : static_cast<int *>(malloc(sizeof(int)));
    if (info != nullptr)
        *info = seq;
    Key *k = new (malloc(sizeof(Key))) Key(value, seq);
    return g_nodeOf[k] = RBTreeInsert(t, k, info);
}

Order walkOrder(rb_red_blk_tree *t) {
    g_visited.clear();
    RBTreeTraverse(t, 0);
    return g_visited;
}

// Checks the subtree under x; returns its black height (nil counts 1) and counts nodes.
int checkSubtree(rb_red_blk_tree *t, rb_red_blk_node *x, size_t *count) {
    if (x == t->nil)
        return 1;
    ++*count;
    int v = keyOf(x->key).first;
    EXPECT_TRUE(x->left == t->nil || x->left->parent == x) << v;
    EXPECT_TRUE(x->right == t->nil || x->right->parent == x) << v;
    EXPECT_FALSE(x->red && (x->left->red || x->right->red)) << "red-red at " << v;
    int lh = checkSubtree(t, x->left, count);
    EXPECT_EQ(lh, checkSubtree(t, x->right, count)) << "black heights differ below " << v;
    return lh + (x->red ? 0 : 1);
}

void checkInvariants(rb_red_blk_tree *t, size_t expectedSize) {
    ASSERT_FALSE(t->nil->red || t->root->red);
    ASSERT_EQ(t->root->right, t->nil);
    rb_red_blk_node *top = t->root->left;
    ASSERT_TRUE(top == t->nil || (top->parent == t->root && !top->red));
    size_t count = 0;
    checkSubtree(t, t->root->left, &count);
    ASSERT_TRUE(count == expectedSize && !testing::Test::HasFailure()) << count << " entries";
}

bool eachOnce(const std::map<int, int> &released, size_t n) {
    return released.size() == n &&
           std::all_of(released.begin(), released.end(), [](auto &r) { return r.second == 1; });
}

// Also: exact queries find a present value and miss an absent one (an empty tree
// compares nothing), each delete releases exactly its own key and info (null infos are
// handed over too), and destroying the tree releases every remaining one once.
TEST(RbTree, RandomInsertDeleteQueryKeepsOrderColourRulesAndOwnership) {
    std::mt19937 rng(42);
    rb_red_blk_tree *t = makeTree();
    Key absent{1, -1};
    EXPECT_TRUE(RBExactQuery(t, &absent) == nullptr && g_compareCalls == 0);
    std::multimap<int, int> model;           // value -> seq, equal values in insertion order
    std::map<int, rb_red_blk_node *> nodes;  // seq -> node
    int seq = 0;
    for (int step = 0; step < 1500; ++step) {
        if (nodes.empty() || rng() % 100 < 60) {
            int value = static_cast<int>(rng() % 40);  // narrow: many equal keys
            nodes[seq] = insert(t, value, seq);
            model.emplace(value, seq++);
        } else {
            auto it = std::next(nodes.begin(), static_cast<long>(rng() % nodes.size()));
            const int s = it->first;
            // The node still carries its own entry, whatever deletions moved around.
            const Key key = keyOf(it->second->key);
            int *info = static_cast<int *>(it->second->info);
            ASSERT_EQ(key.second, s);
            ASSERT_TRUE(s % 5 == 0 ? info == nullptr : info != nullptr && *info == s);
            model.erase(std::find(model.begin(), model.end(), decltype(model)::value_type(key)));
            RBDelete(t, it->second);
            nodes.erase(it);
            const size_t deleted = static_cast<size_t>(seq) - nodes.size();
            ASSERT_TRUE(g_keyDestroyed.size() == deleted && g_keyDestroyed[s] == 1) << s;
            ASSERT_TRUE(g_infoDestroyed.size() + g_nullInfoDestroyed == deleted &&
                        g_infoDestroyed.count(s) == (s % 5 == 0 ? 0u : 1u))
                << s;
        }
        ASSERT_NO_FATAL_FAILURE(checkInvariants(t, model.size()));
        ASSERT_EQ(walkOrder(t), Order(model.begin(), model.end())) << "after step " << step;
        Key probe{static_cast<int>(rng() % 45), -1};  // 40 to 44 are never inserted
        rb_red_blk_node *n = RBExactQuery(t, &probe);
        ASSERT_EQ(n == nullptr ? -1 : keyOf(n->key).first,
                  model.count(probe.first) ? probe.first : -1);
    }
    RBTreeDestroy(t);
    EXPECT_TRUE(eachOnce(g_keyDestroyed, static_cast<size_t>(seq)));
    EXPECT_EQ(g_nullInfoDestroyed, (seq + 4) / 5);  // seq 0, 5, 10, ... had none
    EXPECT_TRUE(eachOnce(g_infoDestroyed, static_cast<size_t>(seq - g_nullInfoDestroyed)));
}

// Deletes every g_deleteStride-th entry handed (from the first); with g_nest then walks
// the tree again (as the flow table's file rewrite does), recorded in g_innerWalks.
int g_deleteStride = 1;
bool g_nest = false;
std::vector<Order> g_innerWalks;

void deleteSome(const void *key, int op) {
    if (op == 9) {
        g_innerWalks.back().push_back(keyOf(key));
        return;
    }
    recordWalk(key, op);
    if ((g_visited.size() - 1) % g_deleteStride != 0)
        return;
    RBDelete(g_walkTree, g_nodeOf.at(key));
    if (g_nest) {
        g_innerWalks.emplace_back();
        RBTreeTraverse(g_walkTree, 9);
    }
}

TEST(RbTree, WalkCallbackMayDeleteItsEntryAndStartANestedWalk) {
    for (int run = 0; run < 2 * 3 * 40; ++run) {
        const int n = run % 40 + 1, stride = g_deleteStride = run / 40 % 3 + 1;
        g_nest = run >= 3 * 40;
        SCOPED_TRACE(testing::Message() << "nest " << g_nest << " stride " << stride << " n " << n);
        g_innerWalks.clear();
        rb_red_blk_tree *t = g_walkTree = makeTree(deleteSome);
        std::mt19937 rng(static_cast<unsigned>(n));
        std::multimap<int, int> model;
        for (int i = 0; i < n; ++i)
            insert(t, model.emplace(static_cast<int>(rng() % 15), i)->first, i);
        RBTreeTraverse(t, 2);
        const Order seen = g_visited;
        EXPECT_EQ(seen, Order(model.begin(), model.end()));  // each once, ascending
        // Each inner walk shows exactly what is left at that moment.
        Order left = seen;
        std::vector<Order> wantInner;
        for (size_t i = 0; i < seen.size(); i += static_cast<size_t>(stride)) {
            left.erase(std::find(left.begin(), left.end(), seen[i]));
            if (g_nest)
                wantInner.push_back(left);
        }
        EXPECT_EQ(g_innerWalks, wantInner);
        t->TreeTraverse = recordWalk;
        EXPECT_EQ(walkOrder(t), left);
        ASSERT_NO_FATAL_FAILURE(checkInvariants(t, left.size()));
        RBTreeDestroy(t);
    }
}

// The helpers print to standard output; the child sends it to standard error, which
// the death test matches (sanitizer warnings may share it).
TEST(RbTreeDeathTest, FatalHelpersPrintOneLineAndExitMinusOne) {
    EXPECT_EQ(lbtest::printed([] { Assert(1, "must not appear"); }), "");
    EXPECT_EXIT((dup2(STDERR_FILENO, STDOUT_FILENO), Assert(0, "nil not red in LeftRotate")),
                testing::ExitedWithCode(255), "Assertion Failed: nil not red in LeftRotate\n");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            volatile size_t huge = SIZE_MAX - 4096;
            SafeMalloc(huge);
            _exit(4);  // reached only if SafeMalloc returned
        },
        testing::ExitedWithCode(255), "memory overflow: malloc failed in SafeMalloc.  Exiting");
}

}  // namespace
