// Tree layer: linking, parsing (bounded and depth-limited), serialising, allocation failures.
#include <gtest/gtest.h>

#include <random>

#include "TlvTestUtil.h"
#include "vorasel/lib_tlv_hl.h"

using hv::test::Bytes;
using hv::test::FailNthAllocation;
using hv::test::hex;
using hv::test::hexOf;
using hv::test::serialise;
using hv::test::Tree;

namespace {

// Parses from a heap copy of exactly the element's bytes (ASan flags any overread). The copy
// must outlive the tree, so it is kept alongside.
struct Parsed {
    explicit Parsed(const Bytes &bytes) : copy(new uint8_t[bytes.size() + 1]) {
        std::copy(bytes.begin(), bytes.end(), copy.get());
        tlv_t *raw = reinterpret_cast<tlv_t *>(0x1);  // detects "root untouched"
        result = tlv_parse_buffer(copy.get(), &raw);
        rawRoot = raw;
        if (result == TLV_OK) root.reset(raw);
    }
    std::unique_ptr<uint8_t[]> copy;
    uint32_t result;
    tlv_t *rawRoot;
    Tree root;
};

void expectConsistentLinks(const tlv_t *node) {
    const tlv_t *previous = nullptr;
    for (const tlv_t *child = node->first_child; child; child = child->next_sibling) {
        EXPECT_EQ(child->parent, node);
        EXPECT_EQ(child->previous_sibling, previous);
        expectConsistentLinks(child);
        previous = child;
    }
    EXPECT_EQ(node->last_child, previous);
}

TEST(TlvTree, ParsesConstructedElementAndWritesItBack) {
    const Bytes bytes = hex("E1 06 02 01 05 02 01 06");
    Parsed p(bytes);
    ASSERT_EQ(p.result, TLV_OK);
    const tlv_t *root = p.root.get();
    EXPECT_EQ(root->tag, 0xE1);
    EXPECT_EQ(root->value, nullptr);
    EXPECT_EQ(tlv_get_length(root), 6u);
    const tlv_t *a = tlv_get_first_child(root);
    const tlv_t *b = tlv_get_last_child(root);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(a, b);
    EXPECT_EQ(tlv_get_next_sibling(a), b);
    EXPECT_EQ(a->tag, 0x02);
    EXPECT_EQ(a->value, p.copy.get() + 4);  // points into the buffer, not a copy
    EXPECT_EQ(b->value[0], 0x06);
    expectConsistentLinks(root);

    uint8_t *out = nullptr;
    uint32_t length = 0;
    ASSERT_EQ(tlv_write_tree(root, &out, &length), TLV_OK);
    EXPECT_EQ(hexOf(out, length), hexOf(bytes));
    std::free(out);
}

TEST(TlvTree, LongFormLengthsComeBackInShortestForm) {
    Parsed p(hex("E1 81 07 02 82 00 01 05 04 00"));
    ASSERT_EQ(p.result, TLV_OK);
    EXPECT_EQ(hexOf(serialise(p.root.get())), "E1 05 02 01 05 04 00");
    // Only the outer header is re-measured: E1 07 and the seven value bytes as they are.
    EXPECT_EQ(tlv_get_buffer_length(p.copy.get()), 9u);
}

TEST(TlvTree, EmptyConstructedNodeSerialisesAsTagAndZero) {
    Tree node(tlv_create(0xE2, 55, reinterpret_cast<const uint8_t *>("x")));
    ASSERT_TRUE(node);
    EXPECT_EQ(node->length, 0u);
    EXPECT_EQ(node->value, nullptr);
    EXPECT_EQ(tlv_get_length(node.get()), 0u);
    EXPECT_EQ(hexOf(serialise(node.get())), "E2 00");
}

TEST(TlvTree, LinkingRefusesPrimitiveParents) {
    Tree parent(tlv_create(0x04, 0, nullptr));
    Tree child(tlv_create(0x02, 0, nullptr));
    EXPECT_EQ(tlv_append_child(parent.get(), child.get()), TLV_ERR_NOT_CONSTRUCTED);
    EXPECT_EQ(tlv_insert_child(parent.get(), child.get()), TLV_ERR_NOT_CONSTRUCTED);
    EXPECT_EQ(parent->first_child, nullptr);
    EXPECT_EQ(child->parent, nullptr);
    EXPECT_EQ(tlv_append_child(nullptr, child.get()), TLV_ERR_NOT_CONSTRUCTED);
}

TEST(TlvTree, InsertAppendAndRemoveKeepTheListConsistent) {
    const uint8_t v[] = {1, 2, 3, 4};
    Tree root(tlv_create(0x30, 0, nullptr));
    tlv_t *b = tlv_create(0x02, 1, v + 1);
    tlv_t *c = tlv_create(0x02, 1, v + 2);
    tlv_t *a = tlv_create(0x02, 1, v);
    tlv_t *d = tlv_create(0x02, 1, v + 3);
    ASSERT_EQ(tlv_append_child(root.get(), b), TLV_OK);
    ASSERT_EQ(tlv_append_child(root.get(), c), TLV_OK);
    ASSERT_EQ(tlv_insert_child(root.get(), a), TLV_OK);
    ASSERT_EQ(tlv_append_child(root.get(), d), TLV_OK);
    EXPECT_EQ(hexOf(serialise(root.get())), "30 0C 02 01 01 02 01 02 02 01 03 02 01 04");
    expectConsistentLinks(root.get());

    for (tlv_t *gone : {b, a, d}) {  // middle, first, last
        tlv_remove(gone);
        EXPECT_EQ(gone->parent, nullptr);
        EXPECT_EQ(gone->next_sibling, nullptr);
        EXPECT_EQ(gone->previous_sibling, nullptr);
        expectConsistentLinks(root.get());
        tlv_delete(gone);
    }
    EXPECT_EQ(hexOf(serialise(root.get())), "30 03 02 01 03");
    tlv_remove(c);  // the only child
    EXPECT_EQ(root->first_child, nullptr);
    EXPECT_EQ(root->last_child, nullptr);
    tlv_remove(c);  // no parent any more: nothing happens
    tlv_delete(c);
}

TEST(TlvTree, LengthOfNestedConstructedNodesCountsHeaders) {
    static const uint8_t block[300] = {};
    Tree root(tlv_create(0xE8, 0, nullptr));
    tlv_t *inner = tlv_create(0xE1, 0, nullptr);
    tlv_append_child(root.get(), inner);
    tlv_append_child(inner, tlv_create(0x04, sizeof block, block));
    tlv_append_child(root.get(), tlv_create(0x02, 1, block));
    EXPECT_EQ(tlv_get_length(inner), 1u + 3 + 300);
    EXPECT_EQ(tlv_get_length(root.get()), (1u + 3 + 304) + 3);
    EXPECT_EQ(serialise(root.get()).size(), 1u + 3 + 311);
}

TEST(TlvParse, UnreadableRootLeavesTheOutRootUntouched) {
    for (const char *bad : {"1F 80 00", "D0 80 00", "E1 84 00 00 00 00"}) {
        Parsed p(hex(bad));
        EXPECT_EQ(p.result, TLV_ERR_UNREADABLE) << bad;
        EXPECT_EQ(p.rawRoot, reinterpret_cast<tlv_t *>(0x1)) << bad;
    }
}

TEST(TlvParse, InnerElementsNeverLeaveTheirContainer) {
    // Each inner header or value claims more than its container holds; the heap copy is
    // exactly the element, so an overread would be reported by ASan.
    for (const char *bad : {"E1 03 02 05 01", "E1 02 1F 80", "E1 04 E2 02 02 05", "E1 03 04 82 FF",
                            "E1 05 30 03 02 02 00"}) {
        Parsed p(hex(bad));
        EXPECT_EQ(p.result, TLV_ERR_UNREADABLE) << bad;
        EXPECT_EQ(p.rawRoot, nullptr) << bad;
    }
}

// `levels` constructed elements, each the only child of the one before.
Bytes chain(int levels) {
    Bytes inner = hex("02 01 00");
    for (int i = 1; i < levels; ++i) {
        Bytes outer = {0x30, 0x82, static_cast<uint8_t>(inner.size() >> 8),
                       static_cast<uint8_t>(inner.size())};
        outer.insert(outer.end(), inner.begin(), inner.end());
        inner = outer;
    }
    return inner;
}

TEST(TlvParse, NestingDepthIsBounded) {
    Parsed ok(chain(TLV_PARSE_MAX_DEPTH));  // levels 1..32
    ASSERT_EQ(ok.result, TLV_OK);
    int depth = 1;
    for (const tlv_t *n = ok.root.get(); n->first_child; n = n->first_child)
        ++depth;
    EXPECT_EQ(depth, TLV_PARSE_MAX_DEPTH);

    Parsed deep(chain(TLV_PARSE_MAX_DEPTH + 1));
    EXPECT_EQ(deep.result, TLV_ERR_UNREADABLE);
    EXPECT_EQ(deep.rawRoot, nullptr);

    Parsed hostile(chain(5000));  // validates fine, but must not recurse 5000 deep
    EXPECT_EQ(hostile.result, TLV_ERR_UNREADABLE);
}

TEST(TlvParse, EveryAllocationFailureGivesNoMemoryAndNoPartialTree) {
    const Bytes bytes = hex("E1 0B 02 01 05 E2 04 02 02 00 01 04 00");
    int n = 0;
    for (;; ++n) {
        FailNthAllocation failure(n);
        Parsed p(bytes);
        if (!failure.triggered()) {
            EXPECT_EQ(p.result, TLV_OK);
            break;
        }
        EXPECT_EQ(p.result, TLV_ERR_NO_MEMORY) << n;
        EXPECT_EQ(p.rawRoot, nullptr) << n;  // and ASan's leak check sees no nodes left
    }
    EXPECT_EQ(n, 5);  // one allocation per element
}

TEST(TlvTree, WriteTreeReportsAllocationFailure) {
    Tree node(tlv_create(0x02, 0, nullptr));
    FailNthAllocation failure(0);
    uint8_t *out = reinterpret_cast<uint8_t *>(0x1);
    EXPECT_EQ(tlv_write_tree(node.get(), &out, nullptr), TLV_ERR_NO_MEMORY);
    EXPECT_EQ(out, nullptr);
}

TEST(TlvTree, DeletingAVeryDeepTreeDoesNotRecurse) {
    tlv_t *root = tlv_create(0x30, 0, nullptr);
    tlv_t *tip = root;
    for (int i = 0; i < 200000; ++i) {
        tlv_t *next = tlv_create(0x30, 0, nullptr);
        ASSERT_EQ(tlv_append_child(tip, next), TLV_OK);
        tlv_append_child(tip, tlv_create(0x02, 0, nullptr));
        tip = next;
    }
    tlv_delete(root);  // would overflow the stack if it recursed per level
}

// Random trees of shortest-form elements: write, parse, write again.
tlv_t *randomTree(std::mt19937 &rng, int depth, const Bytes &pool) {
    std::uniform_int_distribution<int> pick(0, 9);
    const bool constructed = depth < 5 && pick(rng) < 4;
    const uint8_t number = static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 60)(rng));
    const uint16_t tag = tlv_construct_tag(pick(rng) % 4, constructed, number);
    if (!constructed) {
        const uint32_t length = std::uniform_int_distribution<uint32_t>(0, 300)(rng);
        return tlv_create(tag, length, pool.data());
    }
    tlv_t *node = tlv_create(tag, 0, nullptr);
    const int children = std::uniform_int_distribution<int>(1, 4)(rng);
    for (int i = 0; i < children; ++i)
        tlv_append_child(node, randomTree(rng, depth + 1, pool));
    return node;
}

TEST(TlvTree, RandomTreesSurviveWriteParseWrite) {
    std::mt19937 rng(20240611);
    Bytes pool(300);
    for (size_t i = 0; i < pool.size(); ++i)
        pool[i] = static_cast<uint8_t>(i * 7);
    for (int round = 0; round < 300; ++round) {
        Tree tree(randomTree(rng, 1, pool));
        const Bytes first = serialise(tree.get());
        ASSERT_FALSE(first.empty());
        ASSERT_EQ(tlv_validate(first.data(), static_cast<uint32_t>(first.size())), TLV_OK);
        Parsed p(first);
        ASSERT_EQ(p.result, TLV_OK) << round;
        expectConsistentLinks(p.root.get());
        ASSERT_EQ(serialise(p.root.get()), first) << round;
    }
}

}  // namespace
