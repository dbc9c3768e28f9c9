/*
 * edit_test.cpp - the block editing operations: new blocks from bytes and
 * strings, cutting, trimming, growing and inserting, growth from a small
 * into a big block, a source inside the edited block, and every call whose
 * range leaves the block or whose size would pass 2^32 being refused with
 * the block left as it was.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "layout.h"
#include "vr_test.h"

namespace {

std::string Content(VR_Heap &h, const void *b)
{
    return std::string((const char *)b, h.GetBlockSize(b));
}

void *Make(VR_Heap &h, const char *text)
{
    return h.StoreData(text, (unsigned long)strlen(text));
}

int IsBig(const void *b) { return BlockFlagsOf(b) & kBlockAlt; }

#define EXPECT_VALID(h) EXPECT_EQ(nullptr, (h).Validate())

} // namespace

TEST(Edit, StoreStringAndStoreData)
{
    VR_Heap h;
    char *s = h.StoreString("abc", -1);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(4u, h.GetBlockSize(s));
    EXPECT_EQ(0, memcmp(s, "abc", 4));
    char *part = h.StoreString("abcdef", 3);
    EXPECT_EQ(std::string("abc\0", 4), Content(h, part));
    char *empty = h.StoreString(nullptr, 0);
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(std::string(1, '\0'), Content(h, empty));
    char *inner = h.StoreString("a\0b", 3);
    EXPECT_EQ(std::string("a\0b\0", 4), Content(h, inner));
    // Nothing to read from: refused.
    EXPECT_EQ(nullptr, h.StoreString(nullptr, 5));
    EXPECT_EQ(nullptr, h.StoreString(nullptr, -1));

    void *d = h.StoreData("hello", 5);
    EXPECT_EQ("hello", Content(h, d));
    VR_Heap z(VR_HEAP_ZERO_INIT);
    void *zeros = z.StoreData(nullptr, 10);
    EXPECT_EQ(std::string(10, '\0'), Content(z, zeros));
    void *big = z.StoreData(nullptr, 5000);
    ASSERT_NE(nullptr, big);
    EXPECT_EQ(std::string(5000, '\0'), Content(z, big));
    EXPECT_VALID(h);
    EXPECT_VALID(z);
}

TEST(Edit, Clone)
{
    VR_Heap h, other;
    EXPECT_EQ(nullptr, h.Clone(nullptr));
    void *e = h.StoreData(nullptr, 0);
    void *ec = h.Clone(e);
    ASSERT_NE(nullptr, ec);
    EXPECT_NE(e, ec);
    EXPECT_EQ(0u, h.GetBlockSize(ec));

    std::string text(3000, 'x');
    for (size_t i = 0; i < text.size(); i++) text[i] = (char)('a' + i % 26);
    void *big = other.StoreData(text.data(), (unsigned long)text.size());
    void *bc = h.Clone(big); // from another heap
    EXPECT_EQ(text, Content(h, bc));
    EXPECT_TRUE(IsBig(bc));
    VR_Heap::Free(big);
    EXPECT_EQ(text, Content(h, bc));

    void *direct = h.AllocWithReserve(100000, 30, 0);
    ASSERT_NE(nullptr, direct);
    memcpy(direct, text.data(), 30);
    void *dc = h.Clone(direct);
    EXPECT_EQ(text.substr(0, 30), Content(h, dc));
    EXPECT_FALSE(IsBig(dc)) << "a clone is sized by its content alone";
    EXPECT_VALID(h);
    EXPECT_VALID(other);
}

TEST(Edit, CutAndTrimShrinkInPlace)
{
    VR_Heap h;
    void *b = Make(h, "abcde");
    EXPECT_EQ(b, h.Cut(b, 1, 2));
    EXPECT_EQ("ade", Content(h, b));
    b = Make(h, "abcde");
    EXPECT_EQ(b, h.Cut(b, 3, 2));
    EXPECT_EQ("abc", Content(h, b));
    EXPECT_EQ(b, h.Cut(b, 0, 3));
    EXPECT_EQ("", Content(h, b));

    void *t = Make(h, "abcde");
    EXPECT_EQ(t, h.Trim(t, 1, 3));
    EXPECT_EQ("bcd", Content(h, t));
    t = Make(h, "abcde");
    EXPECT_EQ(t, h.Trim(t, 0, 2));
    EXPECT_EQ("ab", Content(h, t));
    t = Make(h, "abcde");
    EXPECT_EQ(t, h.Trim(t, 5, 0));
    EXPECT_EQ("", Content(h, t));

    // A big block cut down stays big.
    std::string text(2000, 'q');
    void *big = h.StoreData(text.data(), 2000);
    EXPECT_EQ(big, h.Cut(big, 5, 1990));
    EXPECT_EQ(std::string(10, 'q'), Content(h, big));
    EXPECT_TRUE(IsBig(big));
    EXPECT_VALID(h);
}

TEST(Edit, TrimFromZeroMayGrow)
{
    VR_Heap h(VR_HEAP_ZERO_INIT);
    void *b = Make(h, "abc");
    b = h.Trim(b, 0, 2000);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(std::string("abc") + std::string(1997, '\0'), Content(h, b));
    EXPECT_VALID(h);
}

TEST(Edit, ExpandInsertAppendPrepend)
{
    VR_Heap h;
    void *b = Make(h, "abc");
    memset(b, 'a', 3);
    b = h.ExpandBy(b, 4, 1);
    EXPECT_EQ(std::string("aaa") + std::string(4, '\0'), Content(h, b));
    EXPECT_EQ(b, h.ExpandBy(b, 0, 1));

    void *i = Make(h, "abcde");
    i = h.Insert(i, 2, "XY", 2);
    EXPECT_EQ("abXYcde", Content(h, i));
    i = h.Insert(i, 7, "!", 1);
    EXPECT_EQ("abXYcde!", Content(h, i));
    void *z = Make(h, "abc");
    z = h.Insert(z, 1, nullptr, 3);
    EXPECT_EQ(std::string("a\0\0\0bc", 6), Content(h, z));

    void *a = Make(h, "abc");
    a = h.Append(a, "de", 2);
    EXPECT_EQ("abcde", Content(h, a));
    void *p = Make(h, "abc");
    p = h.Prepend(p, "de", 2);
    EXPECT_EQ("deabc", Content(h, p));
    p = h.Append(p, nullptr, 2);
    EXPECT_EQ(std::string("deabc\0\0", 7), Content(h, p));
    EXPECT_VALID(h);
}

TEST(Edit, CountZeroAndNullBlock)
{
    VR_Heap h;
    void *b = Make(h, "abc");
    EXPECT_EQ(b, h.Cut(b, 99, 0));
    EXPECT_EQ(b, h.ExpandBy(b, 0, 0));
    EXPECT_EQ(b, h.Insert(b, 99, "x", 0));
    EXPECT_EQ(b, h.Append(b, "x", 0));
    EXPECT_EQ(b, h.Prepend(b, nullptr, 0));
    EXPECT_EQ("abc", Content(h, b));

    EXPECT_EQ(nullptr, h.Cut(nullptr, 0, 0));
    EXPECT_EQ(nullptr, h.Cut(nullptr, 0, 1));
    EXPECT_EQ(nullptr, h.Trim(nullptr, 0, 4));
    EXPECT_EQ(nullptr, h.ExpandBy(nullptr, 4, 1));
    EXPECT_EQ(nullptr, h.Insert(nullptr, 0, "x", 1));
    EXPECT_EQ(nullptr, h.Append(nullptr, "x", 1));
    EXPECT_EQ(nullptr, h.Prepend(nullptr, "x", 0));
    EXPECT_VALID(h);
}

TEST(Edit, GrowingPastTheSmallLimitMovesIntoABigBlock)
{
    VR_Heap h;
    std::string text(1000, ' ');
    for (size_t i = 0; i < text.size(); i++) text[i] = (char)(i * 7);

    void *b = h.StoreData(text.data(), 1000);
    ASSERT_FALSE(IsBig(b));
    void *e = h.ExpandBy(b, 100, 1);
    ASSERT_NE(nullptr, e);
    EXPECT_NE(b, e);
    EXPECT_TRUE(IsBig(e));
    EXPECT_EQ(text + std::string(100, '\0'), Content(h, e));

    void *c = h.StoreData(text.data(), 1000);
    std::string ins(100, 'I');
    void *n = h.Insert(c, 500, ins.data(), 100);
    ASSERT_NE(nullptr, n);
    EXPECT_TRUE(IsBig(n));
    EXPECT_EQ(1100u, h.GetBlockSize(n));
    EXPECT_EQ(text.substr(0, 500) + ins + text.substr(500), Content(h, n));
    EXPECT_VALID(h);

    // A direct block grows where it is.
    void *d = h.AllocWithReserve(200000, 10, 1);
    void *d2 = h.Append(d, text.data(), 1000);
    EXPECT_EQ(d, d2);
    EXPECT_EQ(std::string(10, '\0') + text, Content(h, d2));
    EXPECT_VALID(h);
}

TEST(Edit, SourceInsideTheBlock)
{
    VR_Heap h;
    void *b = Make(h, "abc");
    b = h.Append(b, b, 3);
    EXPECT_EQ("abcabc", Content(h, b));
    void *c = Make(h, "abcde");
    c = h.Insert(c, 1, (char *)c + 2, 3); // source straddles the insertion
    EXPECT_EQ("acdebcde", Content(h, c));
    void *d = Make(h, "abcde");
    d = h.Prepend(d, (char *)d + 1, 4);
    EXPECT_EQ("bcdeabcde", Content(h, d));
    void *e = Make(h, "abcde");
    e = h.Insert(e, 2, (char *)e, 2); // wholly below the insertion
    EXPECT_EQ("ababcde", Content(h, e));

    // Doubling a block until it has to move keeps the right bytes.
    std::string text(600, ' ');
    for (size_t i = 0; i < text.size(); i++) text[i] = (char)(i * 13);
    void *m = h.StoreData(text.data(), 600);
    void *m2 = h.Append(m, m, 600);
    ASSERT_NE(nullptr, m2);
    EXPECT_NE(m, m2);
    EXPECT_EQ(text + text, Content(h, m2));

    // A source running off the end of the block cannot be read safely.
    void *f = Make(h, "abcde");
    EXPECT_EQ(nullptr, h.Insert(f, 0, (char *)f + 3, 4));
    EXPECT_EQ("abcde", Content(h, f));
    EXPECT_VALID(h);
}

TEST(Edit, RangesLeavingTheBlockAreRefused)
{
    VR_Heap h;
    std::string big(3000, 'B');
    for (void *b : {Make(h, "abcde"), h.StoreData(big.data(), 3000)}) {
        const std::string before = Content(h, b);
        const uint32_t n = (uint32_t)before.size();
        const struct {
            void *result;
            const char *what;
        } calls[] = {
            {h.Cut(b, n - 1, 2), "cut past the end"},
            {h.Cut(b, n + 1, 1), "cut beyond the end"},
            {h.Cut(b, 2, 0xFFFFFFFFu), "cut count wrapping"},
            {h.Cut(b, 0xFFFFFFFFu, 2), "cut offset wrapping"},
            {h.Insert(b, n + 1, "x", 1), "insert beyond the end"},
            {h.Insert(b, 1, nullptr, 0xFFFFFFFFu - n + 1), "insert past 2^32"},
            {h.Trim(b, 1, n), "trim past the end"},
            {h.Trim(b, n + 1, 0), "trim start beyond the end"},
            {h.Trim(b, 2, 0xFFFFFFFFu), "trim length wrapping"},
            {h.ExpandBy(b, 0xFFFFFFFFu - n + 1, 0), "expand past 2^32"},
            {h.ExpandBy(b, 0xFFFFFFFFu, 1), "expand wrapping"},
            {h.Append(b, nullptr, 0xFFFFFFFFu), "append wrapping"},
            {h.Prepend(b, nullptr, 0xFFFFFFFFu - n + 1), "prepend past 2^32"},
        };
        for (auto &c : calls) EXPECT_EQ(nullptr, c.result) << c.what << ", size " << n;
        EXPECT_EQ(before, Content(h, b));
        EXPECT_VALID(h);
    }
}

TEST(Edit, FailedGrowthLeavesTheBlock)
{
    VR_Heap h(VR_HEAP_NO_STD_NEW_HANDLER);
    h.SetNewHandler([]() { return 0; });
    void *d = h.AllocWithReserve(0, 100, 0);
    ASSERT_NE(nullptr, d);
    memset(d, 'd', 100);
    // Beyond the direct block's reservation: refused, block intact.
    EXPECT_EQ(nullptr, h.ExpandBy(d, 70000, 0));
    EXPECT_EQ(nullptr, h.Insert(d, 50, nullptr, 70000));
    EXPECT_EQ(std::string(100, 'd'), Content(h, d));
    // The largest size that does not wrap still cannot be had.
    void *s = Make(h, "abc");
    EXPECT_EQ(nullptr, h.ExpandBy(s, 0xFFFFFFFFu - 3, 0));
    EXPECT_EQ(nullptr, h.Append(s, nullptr, 0xFFFFFFFFu - 3));
    EXPECT_EQ("abc", Content(h, s));
    EXPECT_VALID(h);
}
