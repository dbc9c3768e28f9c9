/*
 * bad_input.cpp - bad input tried. Sizes near 2^32 (the top 64 KB of the
 * range, sampled, and its last 64 values one by one) and around 2^31 go
 * through every entry point that takes a size; each must return null and
 * change nothing: the heaps validate, the region map and the heaps'
 * committed bytes are as before, and a set of witness blocks of every kind
 * keeps its sizes and contents. Around 2^31 a request may also succeed where
 * the address space has room (a 32-bit process on a 64-bit Linux kernel);
 * then the block must be real and giving it back must restore everything.
 *
 * Then frees that must not be honoured: double frees of small, big and
 * direct blocks, and foreign, stack, static and interior pointers, through
 * the hooks and through FreeMem. Each runs in a child process (a crash there
 * fails the test without taking the others with it), which checks the
 * witnesses and the heaps afterwards.
 *
 * One-size heaps: their blocks carry no header, so FreeMem can only trust
 * the address. Caught: null (ignored). Caught in debug builds only (the
 * invariant asserts end the process): an address that is not on a block
 * boundary of its page set, or lies beyond the carve point, and a free into
 * a page set with no block in use. Not caught: a second free of a block (it
 * goes onto its page set's free list twice and would be handed out twice), a
 * block of a general heap passed to the one-size FreeMem, and addresses
 * outside library memory (read as a page-set header). The tests below
 * exercise only what is caught.
 */
#include <gtest/gtest.h>
#include <string.h>

#include <new>

#include "heap_internal.h"
#include "pages.h"
#include "programs/rel_common.h"
#include "vr_test.h"

namespace {

/* A witness: a live block whose size and bytes must survive everything. */
struct Witness {
    void *p;
    uint32_t size;
    uint32_t id;
    int oneSize;
};

class BadInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        heap = new VR_Heap(VR_HEAP_MULTITHREADED | VR_HEAP_NO_STD_NEW_HANDLER);
        one = new VR_HeapOneSize(48, VR_HEAP_MULTITHREADED | VR_HEAP_NO_STD_NEW_HANDLER);
        ASSERT_TRUE(heap && one);
        Add(heap->AllocMem(100), 100);
        Add(heap->AllocMem(1016), 1016);
        Add(heap->AllocMem(5000), 5000);
        Add(heap->AllocMem(300000), 300000);
        Add(heap->AllocWithReserve(200000, 7000, 0), 7000);
        Add(VRHookMalloc(40), 40);     /* in the thread's default heap */
        Add(VRHookNew(3000), 3000);
        Add(one->Alloc(), 48, 1);
        Add(one->Alloc(), 48, 1);
        virt = AllocVirtual(100000, 5000, 1);
        ASSERT_NE(nullptr, virt);
        RelStamp(virt, 999, 0, 5000);
        ASSERT_TRUE(Intact());
    }

    void TearDown() override
    {
        for (int i = 0; i < count; i++) {
            if (w[i].oneSize) VR_HeapOneSize::FreeMem(w[i].p);
            else VR_Heap::FreeMem(w[i].p);
        }
        FreeVirtual(virt);
        delete heap;
        delete one;
    }

    void Add(void *p, uint32_t size, int oneSize = 0)
    {
        ASSERT_NE(nullptr, p);
        w[count] = Witness{p, size, (uint32_t)(count + 1) * 7919u, oneSize};
        RelStamp(p, w[count].id, 0, size);
        count++;
    }

    /* 1 when every witness, every heap and the virtual block are as made. */
    int Intact()
    {
        if (heap->Validate() || one->Validate() || DefaultHeap.Validate()) return 0;
        for (int i = 0; i < count; i++) {
            if (RelFindMismatch(w[i].p, w[i].id, 0, w[i].size) != w[i].size) return 0;
            if (!w[i].oneSize && VRGetBlockSize(w[i].p) != w[i].size) return 0;
        }
        VR_VirtualHeader *v = (VR_VirtualHeader *)((uint8_t *)virt - 16);
        return v->currentSize == 5000 && RelFindMismatch(virt, 999, 0, 5000) == 5000;
    }

    /* Committed bytes of the test heap's page sets and big page sets. */
    uint64_t Committed()
    {
        uint64_t n = 0;
        for (VR_PageSetBase *p = VR_Test::PageSets(*heap); p; p = p->next) n += p->commitEnd - p->Base();
        for (VR_BigPageSet *p = VR_Test::BigPageSets(*heap); p; p = (VR_BigPageSet *)p->next)
            n += p->commitEnd - p->Base();
        for (VR_PageSetBase *p = VR_Test::PageSets(*one); p; p = p->next) n += p->commitEnd - p->Base();
        for (VR_PageSetBase *p = VR_Test::PageSets(DefaultHeap); p; p = p->next) n += p->commitEnd - p->Base();
        return n;
    }

    /* After an abuse: witnesses intact and fresh blocks still distinct. */
    int StillServes()
    {
        int ok = Intact();
        void *a = heap->AllocMem(100), *b = heap->AllocMem(5000);
        void *c = heap->AllocMem(100), *d = heap->AllocMem(5000);
        return ok && a && b && c && d && a != c && b != d && Intact();
    }

    VR_Heap *heap = 0;
    VR_HeapOneSize *one = 0;
    Witness w[16];
    int count = 0;
    void *virt = 0;
};

/* Every size worth trying: the top 64 KB of the 32-bit range, sampled, with
   its last 64 values one by one, and the neighbourhood of 2^31. */
int HugeSizes(uint32_t *out)
{
    int n = 0;
    for (uint64_t s = 0xFFFF0000u; s < 0xFFFFFFC0u; s += 241) out[n++] = (uint32_t)s;
    for (uint32_t i = 0; i < 64; i++) out[n++] = 0xFFFFFFFFu - i;
    for (uint32_t s = 0x7FFFFF00u; s < 0x80000100u; s += 17) out[n++] = s;
    out[n++] = 0x7FFFFFFFu;
    out[n++] = 0x80000000u;
    return n;
}

enum { kMaxSizes = 512 };

/* One entry point applied to one size: returns the block it made, or null. */
typedef void *(*Entry)(BadInput *t, VR_Heap &heap, VR_HeapOneSize &one, Witness *w, void *virt, uint32_t s);

struct EntryCase {
    const char *name;
    Entry call;
    int kind;   /* 0 new block; 1 resizes w[wi]; 2 resizes the virtual block */
    int wi;
    int zeroes; /* fills what it gets: not tried near 2^31, where it may get 2 GB */
};

#define NEW_BLOCK(name, expr) {name, [](BadInput *, VR_Heap &heap, VR_HeapOneSize &one, Witness *w, void *virt, uint32_t s) -> void * { (void)heap; (void)one; (void)w; (void)virt; (void)s; return (expr); }, 0, 0, 0}
#define RESIZE(name, wi, expr) {name, [](BadInput *, VR_Heap &heap, VR_HeapOneSize &one, Witness *w, void *virt, uint32_t s) -> void * { (void)heap; (void)one; (void)virt; (void)s; void *b = w[wi].p; (void)b; return (expr); }, 1, wi, 0}

#define NEW_BLOCK_Z(name, expr) {name, [](BadInput *, VR_Heap &heap, VR_HeapOneSize &one, Witness *w, void *virt, uint32_t s) -> void * { (void)heap; (void)one; (void)w; (void)virt; (void)s; return (expr); }, 0, 0, 1}
#define RESIZE_Z(name, wi, expr) {name, [](BadInput *, VR_Heap &heap, VR_HeapOneSize &one, Witness *w, void *virt, uint32_t s) -> void * { (void)heap; (void)one; (void)virt; (void)s; void *b = w[wi].p; (void)b; return (expr); }, 1, wi, 1}

const EntryCase kEntries[] = {
    NEW_BLOCK("malloc", VRHookMalloc(s)),
    NEW_BLOCK_Z("calloc(1, s)", VRHookCalloc(1, s)),
    NEW_BLOCK_Z("calloc(s, 1)", VRHookCalloc(s, 1)),
    NEW_BLOCK("calloc(s, 3)", VRHookCalloc(s, 3)),
    NEW_BLOCK("calloc(16, s)", VRHookCalloc(16, s)),
    NEW_BLOCK("realloc(null, s)", VRHookRealloc(0, s)),
    NEW_BLOCK("operator new", VRHookNew(s)),
    NEW_BLOCK("AllocMem", heap.AllocMem(s)),
    NEW_BLOCK("Alloc", heap.Alloc(s, s > 0xF0000000u)),
    NEW_BLOCK("AllocArray(1, s)", heap.AllocArray(1, s, 0)),
    NEW_BLOCK("AllocArray(s, 1)", heap.AllocArray(s, 1, 0)),
    NEW_BLOCK("AllocArray(s, 5)", heap.AllocArray(s, 5, 1)),
    NEW_BLOCK("AllocArray(8, s)", heap.AllocArray(8, s, 1)),
    NEW_BLOCK("AllocWithReserve(s, 10)", heap.AllocWithReserve(s, 10, 0)),
    NEW_BLOCK("AllocWithReserve(10, s)", heap.AllocWithReserve(10, s, 0)),
    NEW_BLOCK("AllocWithReserve(s, s)", heap.AllocWithReserve(s, s, 0)),
    NEW_BLOCK("StoreData(null, s)", heap.StoreData(0, s)),
    NEW_BLOCK("AllocVirtual(s, 10)", AllocVirtual(s, 10, 0)),
    NEW_BLOCK("AllocVirtual(10, s)", AllocVirtual(10, s, 0)),
    NEW_BLOCK("AllocVirtual(s, s)", AllocVirtual(s, s, 0)),
    NEW_BLOCK("AllocDirectMemoryPages", AllocDirectMemoryPages((long)s, 0)),
    NEW_BLOCK("one-size AllocMem", one.AllocMem(s)),
    RESIZE("realloc small", 0, VRHookRealloc(b, s)),
    RESIZE("realloc big", 2, VRHookRealloc(b, s)),
    RESIZE("Realloc small", 0, heap.Realloc(b, s, 0)),
    RESIZE("Realloc class edge", 1, heap.Realloc(b, s, 0)),
    RESIZE("Realloc big", 3, heap.Realloc(b, s, 0)),
    RESIZE("Realloc direct", 4, heap.Realloc(b, s, 0)),
    RESIZE("ExpandBy", 0, heap.ExpandBy(b, s, 0)),
    RESIZE("ExpandBy big", 2, heap.ExpandBy(b, s, 0)),
    RESIZE_Z("Insert", 1, heap.Insert(b, 10, 0, s)),
    RESIZE("Insert past the end", 0, heap.Insert(b, s, 0, 10)),
    RESIZE_Z("Append", 3, heap.Append(b, 0, s)),
    RESIZE_Z("Prepend", 4, heap.Prepend(b, 0, s)),
    RESIZE("Cut offset", 2, heap.Cut(b, s, 10)),
    RESIZE("Cut count", 2, heap.Cut(b, 10, s)),
    RESIZE("Trim start", 0, heap.Trim(b, s, 10)),
    RESIZE("Trim length", 0, heap.Trim(b, 10, s)),
    RESIZE("Trim grow", 4, heap.Trim(b, 0, s)),
    {"ResizeVirtual", [](BadInput *, VR_Heap &, VR_HeapOneSize &, Witness *, void *virt, uint32_t s) -> void * {
         return ResizeVirtual(virt, s, 0);
     }, 2, 0, 0},
};

/* Gives back a block that a request around 2^31 was allowed to get. */
void GiveBack(const EntryCase &e, void *p)
{
    if (strncmp(e.name, "AllocVirtual", 12) == 0) FreeVirtual(p);
    else if (strcmp(e.name, "AllocDirectMemoryPages") == 0) FreeDirectMemoryPages(p);
    else if (strcmp(e.name, "one-size AllocMem") == 0) VR_HeapOneSize::FreeMem(p);
    else VR_Heap::FreeMem(p);
}

TEST_F(BadInput, HugeSizesThroughEveryEntryPointChangeNothing)
{
    static uint32_t sizes[kMaxSizes];
    int n = HugeSizes(sizes);
    static uint8_t mapBefore[sizeof(s_regionMap)];
    char failure[256] = "";
    int tried = 0, grantedNear2to31 = 0;
    for (const EntryCase &e : kEntries) {
        for (int i = 0; i < n && !failure[0]; i++) {
            uint32_t s = sizes[i];
            int near2to31 = s < 0xC0000000u;
            if (e.zeroes && near2to31) continue;
            memcpy(mapBefore, s_regionMap, sizeof(mapBefore));
            uint64_t committed = Committed();
            void *result = e.call(this, *heap, *one, w, virt, s);
            tried++;
            if (result && near2to31 && e.kind == 0) {
                /* Room for 2 GB: the block must be what was asked for. */
                grantedNear2to31++;
                if (strncmp(e.name, "Alloc", 5) == 0 && strncmp(e.name, "AllocVirtual", 12) != 0 &&
                    strncmp(e.name, "AllocDirect", 11) != 0 && !strstr(e.name, ", 10)") &&
                    heap->GetBlockSize(result) < s / 16)
                    snprintf(failure, sizeof(failure), "%s(%#x) recorded size %lu", e.name, s,
                             heap->GetBlockSize(result));
                GiveBack(e, result);
            } else if (result && near2to31 && e.kind == 1) {
                /* Grown to 2 GB: shrink it back by hand is not possible; the
                   witness moved, so track the new address and size. */
                grantedNear2to31++;
                w[e.wi].p = result;
                void *back = heap->Realloc(result, w[e.wi].size, 0);
                if (!back) snprintf(failure, sizeof(failure), "%s(%#x) granted, then could not shrink", e.name, s);
                else w[e.wi].p = back;
                continue;
            } else if (result && near2to31 && e.kind == 2) {
                grantedNear2to31++;
                ResizeVirtual(virt, 5000, 0);
                continue;
            } else if (result) {
                snprintf(failure, sizeof(failure), "%s(%#x) returned %p", e.name, s, result);
                break;
            }
            if (memcmp(mapBefore, s_regionMap, sizeof(mapBefore)) != 0)
                snprintf(failure, sizeof(failure), "%s(%#x) changed the region map", e.name, s);
            else if (Committed() != committed)
                snprintf(failure, sizeof(failure), "%s(%#x) changed the committed bytes", e.name, s);
            else if (!Intact())
                snprintf(failure, sizeof(failure), "%s(%#x) damaged a witness or a heap", e.name, s);
        }
    }
    EXPECT_STREQ("", failure);
    EXPECT_TRUE(Intact());
    RecordProperty("tried", tried);
    printf("[          ] %d huge requests over %d entry points; %d granted near 2^31\n", tried,
           (int)(sizeof(kEntries) / sizeof(kEntries[0])), grantedNear2to31);
}

TEST_F(BadInput, HugeOneSizeHeapsRefuseEveryRequest)
{
    static uint32_t sizes[kMaxSizes];
    int n = HugeSizes(sizes);
    for (int i = 0; i < n; i += 7) {
        VR_HeapOneSize *h = new VR_HeapOneSize(sizes[i], VR_HEAP_NO_STD_NEW_HANDLER);
        ASSERT_NE(nullptr, h);
        uint32_t regions = RelReservedRegions();
        EXPECT_EQ(nullptr, h->Alloc()) << std::hex << sizes[i];
        EXPECT_EQ(nullptr, h->AllocMem(16)) << std::hex << sizes[i];
        EXPECT_EQ(regions, RelReservedRegions());
        EXPECT_EQ(nullptr, h->Validate());
        delete h;
    }
    EXPECT_TRUE(Intact());
}

/* ---- frees that must not be honoured ---------------------------------- */

/* Accepts any output of the child: only its exit code counts. (The usual
   regular expression is avoided: on Linux, glibc's regcomp fails with
   REG_ESPACE in this process, see the report.) */
class AnyOutput : public ::testing::MatcherInterface<const std::string &> {
public:
    bool MatchAndExplain(const std::string &, ::testing::MatchResultListener *) const override { return true; }
    void DescribeTo(std::ostream *os) const override { *os << "any output"; }
};
::testing::Matcher<const std::string &> Anything() { return ::testing::Matcher<const std::string &>(new AnyOutput); }

/* Runs abuse in a child process; the child exits 0 when the witnesses and
   heaps are intact and a new allocation of each kind still works. */
#define EXPECT_SURVIVES(abuse)                                                        \
    EXPECT_EXIT(                                                                      \
        {                                                                             \
            abuse;                                                                    \
            _exit(StillServes() ? 0 : 1);                                             \
        },                                                                            \
        ::testing::ExitedWithCode(0), Anything())

uint8_t s_static[256];

TEST_F(BadInput, DoubleFreesAreIgnored)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    void *small = heap->AllocMem(100), *big = heap->AllocMem(5000), *direct = heap->AllocWithReserve(0, 100, 0);
    ASSERT_TRUE(small && big && direct);
    EXPECT_SURVIVES({ VR_Heap::FreeMem(small); VR_Heap::FreeMem(small); });
    EXPECT_SURVIVES({ VRHookFree(small); VRHookFree(small); });
    EXPECT_SURVIVES({ VR_Heap::FreeMem(big); VR_Heap::FreeMem(big); });
    EXPECT_SURVIVES({ VRHookDelete(big); VRHookFree(big); });
    EXPECT_SURVIVES({ VR_Heap::FreeMem(direct); VR_Heap::FreeMem(direct); });
    EXPECT_SURVIVES({ VRHookFree(direct); VRHookFree(direct); });
    /* The last free of a page set gives it back; the second free then finds
       memory that is no longer the library's. */
    EXPECT_SURVIVES({
        VR_Heap lone(0);
        void *p = lone.AllocMem(100);
        void *q = lone.AllocMem(900);
        VR_Heap::FreeMem(p);
        VR_Heap::FreeMem(q);
        lone.Clear();
        VR_Heap::FreeMem(p);
        VRHookFree(q);
    });
    VR_Heap::FreeMem(small);
    VR_Heap::FreeMem(big);
    VR_Heap::FreeMem(direct);
    EXPECT_TRUE(Intact());
}

TEST_F(BadInput, ForeignStackAndStaticPointersAreIgnored)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t local[256];
    memset(local, 0xA5, sizeof(local));
    memset(s_static, 0x5A, sizeof(s_static));
    void *pages = AllocDirectMemoryPages(4096, 0);
    ASSERT_NE(nullptr, pages);
    memset(pages, 0xFF, 4096);
    EXPECT_SURVIVES({ VRHookFree(local + 64); VRHookFree(s_static + 64); VRHookFree((uint8_t *)pages + 64); });
    EXPECT_SURVIVES({ VRHookDelete(local + 8); VRHookDelete(s_static + 8); });
    EXPECT_SURVIVES({ VR_Heap::FreeMem(local + 64); VR_Heap::FreeMem(s_static + 64); });
    EXPECT_SURVIVES({ VR_Heap::FreeMem((uint8_t *)pages + 64); VR_Heap::Free(local + 1); });
    /* realloc of a foreign block copies it and leaves it in place. */
    void *copy = VRHookRealloc(local + 64, 100);
    ASSERT_NE(nullptr, copy);
    EXPECT_TRUE(IsMemoryFilledWith(copy, 100, 0xA5));
    EXPECT_TRUE(IsMemoryFilledWith(local, sizeof(local), 0xA5));
    EXPECT_EQ(nullptr, VRHookRealloc(s_static, 0));
    EXPECT_TRUE(IsMemoryFilledWith(s_static, sizeof(s_static), 0x5A));
    VRHookFree(copy);
    FreeDirectMemoryPages(pages);
    EXPECT_TRUE(Intact());
}

TEST_F(BadInput, InteriorPointersAreIgnored)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t *small = (uint8_t *)heap->AllocMem(200);
    uint8_t *big = (uint8_t *)heap->AllocMem(20000);
    uint8_t *direct = (uint8_t *)heap->AllocWithReserve(0, 9000, 0);
    ASSERT_TRUE(small && big && direct);
    /* Interior bytes that look like a live small block header in front
       of the pointer (flags byte 0, a plausible class), and like a big one
       (flags byte 1). */
    memset(small, 0, 200);
    small[103] = 0x00, small[102] = 3;
    memset(big, 0x11, 20000);
    memset(direct, 0x21, 9000);
    EXPECT_SURVIVES({ VR_Heap::FreeMem(small + 104); });
    EXPECT_SURVIVES({ VRHookFree(small + 8); });
    EXPECT_SURVIVES({ VR_Heap::FreeMem(big + 4096); });
    EXPECT_SURVIVES({ VRHookFree(big + 33); });
    EXPECT_SURVIVES({ VR_Heap::FreeMem(direct + 4096); });
    EXPECT_SURVIVES({ VRHookDelete(direct + 100); });
    VR_Heap::FreeMem(small);
    VR_Heap::FreeMem(big);
    VR_Heap::FreeMem(direct);
    EXPECT_TRUE(Intact());
}

/* Pointers into the reserved but uncommitted end of a small page set, a big
   page set and a direct block (8 bytes past a page boundary, and 16 bytes
   into a 64 KB unit of which nothing is committed): library memory that
   cannot be read. */
TEST_F(BadInput, PointersIntoUncommittedTailsAreIgnored)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    uint8_t *small = (uint8_t *)heap->AllocMem(64);
    uint8_t *big = (uint8_t *)heap->AllocMem(20000);
    uint8_t *direct = (uint8_t *)heap->AllocWithReserve(1 << 20, 9000, 0);
    ASSERT_TRUE(small && big && direct);
    VR_PageSetBase *ps = PageSetOf(small);
    VR_PageSetBase *bigPs = ((VR_BigChunk *)((uint8_t *)AltHeaderOf(big) - kChunkHeader))->owner;
    VR_VirtualHeader *v = (VR_VirtualHeader *)(direct - kAltHeaderSize - sizeof(VR_VirtualHeader));
    uint8_t *directEnd = (uint8_t *)v + v->reservedBytes;
    ASSERT_LT(ps->commitEnd, ps->regionEnd);
    ASSERT_LE(bigPs->commitEnd + 0x10000, bigPs->regionEnd);
    ASSERT_LT((uint8_t *)v + v->committedBytes + 0x10000, directEnd);
    uint8_t *tails[] = {ps->regionEnd - 4096 + 8, bigPs->regionEnd - 4096 + 8, bigPs->regionEnd - 0x10000 + 16,
                        directEnd - 4096 + 8, directEnd - 0x10000 + 16};
    for (uint8_t *p : tails) {
        EXPECT_SURVIVES({ VR_Heap::FreeMem(p); VRHookFree(p); VRHookDelete(p); });
        EXPECT_SURVIVES({ if (VRHookRealloc(p, 100) || VRGetBlockSize(p)) _exit(2); });
    }
    VR_Heap::FreeMem(small);
    VR_Heap::FreeMem(big);
    VR_Heap::FreeMem(direct);
    EXPECT_TRUE(Intact());
}

/* A program that writes into a block it freed (a use after free, or the
   second owner of a block that a racing double free handed out twice)
   writes where a heap keeps the block's free-list links. Whatever it
   writes, no allocation may return an address of its choosing or one
   outside the heap's page sets, unlinking the block when its page set goes
   must not write where the words point, and the heap goes on serving and
   reports the blocks it lost. Heaps without a lock: no thread cache stands
   in front of their lists. Each case returns 1 when all of that holds. */
int InHeap(void *q, VR_Heap *heap)
{
    return q && IsLibraryMemory(q) && ((VR_SmallPageSet *)PageSetOf(q))->owner == heap;
}
int InHeap(void *q, VR_HeapOneSize *heap)
{
    return q && IsLibraryMemory(q) && ((VR_OneSizePageSet *)PageSetOf(q))->owner == heap;
}

int ForgedSmallLink(int atLiveBlock)
{
    VR_Heap h(0);
    uint8_t *live = (uint8_t *)h.AllocMem(40), *target = atLiveBlock ? live : s_static + 64;
    void *freed[8];
    for (void *&p : freed) p = h.AllocMem(40);
    for (void *p : freed) VR_Heap::FreeMem(p);
    /* freed[7] is first on the list: its words, read as plain links, would
       lead to the header in front of target. */
    for (int i = 0; i < 4; i++) ((uint8_t **)freed[7])[i] = target - 8;
    for (int i = 0; i < 32; i++) {
        void *q = h.AllocMem(40);
        if (q == target || !InHeap(q, &h)) return 0;
    }
    if (!h.Validate()) return 0;   // the blocks behind the dropped link
    h.Clear();
    return h.Validate() == 0 && InHeap(h.AllocMem(40), &h);
}

int ForgedOneSizeLink(int atLiveBlock)
{
    VR_HeapOneSize one(48, 0);
    uint8_t *live = (uint8_t *)one.Alloc(), *target = atLiveBlock ? live : s_static + 64;
    void *freed[8];
    for (void *&p : freed) p = one.Alloc();
    for (void *p : freed) VR_HeapOneSize::FreeMem(p);
    /* Read as a plain offset from the page set, the word leads to target. */
    *(uint32_t *)freed[7] = (uint32_t)(uintptr_t)(target - (uint8_t *)PageSetOf(freed[7]));
    for (int i = 0; i < 32; i++) {
        void *q = one.Alloc();
        if (q == target || !InHeap(q, &one)) return 0;
    }
    if (!one.Validate()) return 0;
    one.Clear();
    return one.Validate() == 0 && InHeap(one.Alloc(), &one);
}

/* Both links of a free block in the middle of a list forged, then its page
   set (not the newest) given back: every block is unlinked in place. */
int ForgedLinksInAPageSetThatGoes()
{
    VR_Heap h(0);
    static void *blocks[3000];
    int n = 0;
    do blocks[n] = h.AllocMem(40);
    while (PageSetOf(blocks[n++]) == PageSetOf(blocks[0]) && n < 3000);
    if (n == 3000) return 0;
    /* blocks[0 .. n-2] fill the older page set. */
    for (int i = 0; i < n - 2; i++) VR_Heap::FreeMem(blocks[i]);
    memset(s_static, 0x5A, sizeof(s_static));
    ((uint8_t **)blocks[n / 2])[0] = s_static;
    ((uint8_t **)blocks[n / 2])[1] = s_static + 64;
    VR_Heap::FreeMem(blocks[n - 2]);
    if (!IsMemoryFilledWith(s_static, sizeof(s_static), 0x5A) || VR_Test::PageSetCount(h) != 1) return 0;
    for (int i = 0; i < 64; i++)
        if (!InHeap(h.AllocMem(40), &h)) return 0;
    h.Validate();
    h.Clear();
    return h.Validate() == 0;
}

TEST_F(BadInput, WritesIntoFreedBlocksNeverSteerTheLists)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int atLive = 0; atLive < 2; atLive++) {
        EXPECT_EXIT(_exit(ForgedSmallLink(atLive) ? 0 : 1), ::testing::ExitedWithCode(0), Anything()) << atLive;
        EXPECT_EXIT(_exit(ForgedOneSizeLink(atLive) ? 0 : 1), ::testing::ExitedWithCode(0), Anything()) << atLive;
    }
    EXPECT_EXIT(_exit(ForgedLinksInAPageSetThatGoes() ? 0 : 1), ::testing::ExitedWithCode(0), Anything());
    EXPECT_TRUE(Intact());
}

TEST_F(BadInput, OneSizeFreesThatAreIgnored)
{
    VR_HeapOneSize::FreeMem(0);
    VR_HeapOneSize::Free(0);
    uint8_t *p = (uint8_t *)one->Alloc();
    ASSERT_NE(nullptr, p);
    /* Off a block boundary, past the carve point, and a second free. */
    VR_HeapOneSize::FreeMem(p + 4);
    VR_HeapOneSize::FreeMem(p + 48 * 20);
    VR_HeapOneSize::FreeMem(p);
    VR_HeapOneSize::FreeMem(p);
    EXPECT_TRUE(Intact());
}

} // namespace
