/*
 * virtual.cpp - page-granular memory outside the heaps.
 *
 * Direct page blocks are one reservation, committed whole and released whole;
 * they carry no header and are not marked in the region map. Virtual blocks
 * are a reservation chosen by the caller with a 16-byte VR_VirtualHeader at
 * its base, of which only the pages the current size needs are committed, so
 * a block grows and shrinks in place and never moves. IsMemoryFilledWith
 * lives here as the page-level content test.
 *
 *  base -> +-------------------------------+
 *          | VR_VirtualHeader (16 bytes)   |
 *  block ->+-------------------------------+
 *          | currentSize bytes             |
 *          | ... up to committedBytes      |  committed
 *          +-------------------------------+
 *          | reserved, not committed       |
 *          +-------------------------------+  base + reservedBytes
 */
#include <string.h>

#include "os_memory.h"
#include "pages.h"
#include "system.h"
#include "validate.h"

namespace {

const uint32_t kVirtualHeaderSize = sizeof(VR_VirtualHeader);

void EnsureSystemInfo()
{
    if (__atomic_load_n(&s_pageSize, __ATOMIC_ACQUIRE) == 0) LoadSystemInfo();
}

/* bytes + 16 rounded up to m; 0 when that passes 2^32. */
uint32_t WithHeaderRounded(uint32_t bytes, uint32_t m)
{
    uint32_t r;
    if (bytes > 0xFFFFFFFFu - kVirtualHeaderSize) return 0;
    if (!RoundUpChecked(bytes + kVirtualHeaderSize, m, &r)) return 0;
    return r;
}

/* The header of the virtual block at block, or null when block cannot be
   one: a virtual block's base is granularity-aligned library memory and its
   header is self-consistent. Cheap enough for every resize and free. */
VR_VirtualHeader *HeaderOf(const void *block)
{
    uintptr_t b = (uintptr_t)block;
    if (b < kVirtualHeaderSize) return 0;
    EnsureSystemInfo();
    uintptr_t base = b - kVirtualHeaderSize;
    if (base & (s_granularity - 1)) return 0;
    if (!IsLibraryMemory((const void *)base)) return 0;
    VR_VirtualHeader *h = (VR_VirtualHeader *)base;
    if (h->reservedBytes == 0 || (h->reservedBytes & (s_granularity - 1))) return 0;
    if (h->committedBytes < kVirtualHeaderSize || h->committedBytes > h->reservedBytes) return 0;
    return h;
}

} // namespace

VR_API void *AllocDirectMemoryPages(long size, long flags)
{
    /* A size is a byte count; zero or negative asks for nothing. */
    if (size <= 0) return 0;
    EnsureSystemInfo();
    uint32_t rounded;
    if (!RoundUpChecked((uint32_t)size, s_pageSize, &rounded)) return 0;
    /* Fresh pages from the system read zero, so VR_HEAP_ZERO_INIT already
       holds without touching (and so making resident) every page. */
    return vr_os::ReserveAndCommit(rounded, (flags & VR_HEAP_NOCACHE) ? 1 : 0);
}

VR_API void FreeDirectMemoryPages(void *p)
{
    if (p) vr_os::Release(p);
}

VR_API void *AllocVirtual(unsigned long reserveSize, unsigned long size, int zero)
{
    (void)zero;  /* the committed pages are fresh and read zero already */
    return AllocVirtualOfKind(reserveSize, size, VR_SPACE_VIRTUAL);
}

void *AllocVirtualOfKind(unsigned long reserveSize, unsigned long size, int kind)
{
    EnsureSystemInfo();
    uint32_t reserved = WithHeaderRounded(reserveSize, s_granularity);
    uint32_t committed = WithHeaderRounded(size, s_pageSize);
    /* The system would refuse to commit beyond the reservation; refusing
       here saves making and undoing one. */
    if (reserved == 0 || committed == 0 || committed > reserved) return 0;

    uint8_t *base = (uint8_t *)ReservePages(reserved, 0, kind);
    if (!base) return 0;
    if (!CommitPages(base, committed, 0)) {
        ReleasePages(base, 0, reserved);
        return 0;
    }
    VR_VirtualHeader *h = (VR_VirtualHeader *)base;
    h->currentSize = size;
    h->reservedBytes = reserved;
    h->committedBytes = committed;
    return base + kVirtualHeaderSize;
}

VR_API void *ResizeVirtual(void *block, unsigned long size, int zero)
{
    VR_VirtualHeader *h = HeaderOf(block);
    if (!h) return 0;
    uint8_t *base = (uint8_t *)h;
    /* Unsigned throughout: a size above 2^31 must not pass as negative. */
    uint32_t newCommitted = WithHeaderRounded(size, s_pageSize);
    if (newCommitted == 0 || newCommitted > h->reservedBytes) return 0;

    uint32_t committed = h->committedBytes;
    if (newCommitted > committed) {
        if (!CommitPages(base + committed, newCommitted - committed, 0)) return 0;
    } else if (newCommitted < committed) {
        DecommitPages(base + newCommitted, committed - newCommitted);
    }

    if (zero && size > h->currentSize) {
        /* Only the part that was committed before can hold old bytes; pages
           committed just now are fresh and read zero. */
        uint8_t *from = (uint8_t *)block + h->currentSize;
        uint8_t *to = (uint8_t *)block + size;
        uint8_t *oldEnd = base + committed;
        if (to > oldEnd) to = oldEnd;
        if (to > from) memset(from, 0, to - from);
    }
    h->committedBytes = newCommitted;
    h->currentSize = size;
    return block;
}

VR_API void FreeVirtual(void *block)
{
    VR_VirtualHeader *h = HeaderOf(block);
    if (!h) return;
    ReleasePages(h, h->committedBytes, h->reservedBytes);
}

VR_API int IsMemoryFilledWith(void const *p, unsigned long length, unsigned char value)
{
    if (length == 0) return 1;
    if (!p) return 0;
    const uint8_t *s = (const uint8_t *)p;
    uint32_t pattern = value * 0x01010101u;
    for (uint32_t groups = length >> 4; groups; groups--, s += 16) {
        /* memcpy reads at any alignment and compiles to plain loads. */
        uint32_t w[4];
        memcpy(w, s, sizeof w);
        if (w[0] != pattern || w[1] != pattern || w[2] != pattern || w[3] != pattern) return 0;
    }
    for (uint32_t rest = length & 15; rest; rest--, s++)
        if (*s != value) return 0;
    return 1;
}

const char *ValidateVirtual(const void *block)
{
    VR_VirtualHeader *h = HeaderOf(block);
    if (!h) return "not a virtual block";
    uintptr_t base = (uintptr_t)h;
    if (h->committedBytes != WithHeaderRounded(h->currentSize, s_pageSize))
        return "committed bytes do not match the current size";
    for (uint32_t off = 0; off < h->reservedBytes; off += s_granularity)
        if (!IsLibraryMemory((const void *)(base + off))) return "reservation not marked in the region map";
    vr_os::RegionInfo info;
    if (!vr_os::QueryRegion((const void *)base, &info)) return "system cannot describe the block";
    if (info.allocationBase != base) return "block base is not its reservation's base";
    if (!info.committed || info.regionSize != h->committedBytes) return "committed pages differ from the header";
    if (h->committedBytes < h->reservedBytes) {
        if (!vr_os::QueryRegion((const void *)(base + h->committedBytes), &info)) return "system cannot describe the block";
        if (info.committed) return "pages beyond the committed bytes are committed";
        if (info.allocationBase != base) return "reservation shorter than the header says";
    }
    return 0;
}
