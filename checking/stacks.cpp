/*
 * stacks.cpp - the call stacks of the checking mode: captured at
 * every allocation and free by following the chain of saved frame pointers
 * (cheap: a few loads per frame, no system call), and kept once each in a
 * table of distinct stacks, so a block carries a 32-bit id instead of its
 * frames.
 *
 * Code built without frame pointers does not keep that chain: its frames
 * are skipped, and the walk stops at the first link that does not point
 * further up the thread's stack. The first frame, the return address of
 * the call into the runtime, is always exact.
 *
 * The table: records appended in order (id = index + 1) and an index of
 * open addressing on the hash of their frames. Readers probe without a
 * lock; a new record is written, then published in the index, under the
 * table's lock. When it is full, new stacks get id 0 (unknown).
 */
#include <string.h>

#include "checking.h"
#include "os_lock.h"
#include "os_memory.h"
#include "symbols.h"

namespace {

const uint32_t kMaxFrames = 16;
const uint32_t kMaxRecords = 65536;
const uint32_t kIndexSlots = 2 * kMaxRecords;   /* a power of two, at most half full */

struct VR_StackRecord {
    uint32_t hash;
    uint32_t depth;
    uintptr_t frames[kMaxFrames];
};
static_assert(sizeof(VR_StackRecord) == 72, "stack record size");

VR_StackRecord *s_records;
uint32_t *s_index;          /* record id, or 0 for an empty slot */
uint32_t s_recordCount;
VR_LockStorage s_tableLock;
int s_tableState;           /* 0 not made, 1 ready, -1 could not be made */

int EnsureTable()
{
    if (__atomic_load_n(&s_tableState, __ATOMIC_ACQUIRE)) return s_tableState > 0;
    vr_os::LockEnter(&s_tableLock);
    if (!s_tableState) {
        uint32_t bytes = kMaxRecords * sizeof(VR_StackRecord) + kIndexSlots * 4;
        uint8_t *space = (uint8_t *)vr_os::Reserve(bytes, 0);
        if (space && vr_os::Commit(space, bytes, 0)) {
            s_index = (uint32_t *)space;
            s_records = (VR_StackRecord *)(space + kIndexSlots * 4);
            __atomic_store_n(&s_tableState, 1, __ATOMIC_RELEASE);
        } else {
            s_tableState = -1;
        }
    }
    vr_os::LockLeave(&s_tableLock);
    return s_tableState > 0;
}

uint32_t HashFrames(const uintptr_t *frames, uint32_t depth)
{
    uint32_t h = 2166136261u;
    for (uint32_t i = 0; i < depth; i++) {
        h ^= (uint32_t)frames[i];
        h *= 16777619u;
    }
    return h ? h : 1;
}

int SameRecord(const VR_StackRecord &r, uint32_t hash, const uintptr_t *frames, uint32_t depth)
{
    return r.hash == hash && r.depth == depth && memcmp(r.frames, frames, depth * sizeof(uintptr_t)) == 0;
}

uint32_t FindOrAdd(const uintptr_t *frames, uint32_t depth)
{
    if (!EnsureTable()) return 0;
    uint32_t hash = HashFrames(frames, depth);
    uint32_t slot = hash & (kIndexSlots - 1);
    for (;;) {
        uint32_t id = __atomic_load_n(&s_index[slot], __ATOMIC_ACQUIRE);
        if (!id) break;
        if (SameRecord(s_records[id - 1], hash, frames, depth)) return id;
        slot = (slot + 1) & (kIndexSlots - 1);
    }
    vr_os::LockEnter(&s_tableLock);
    /* Another thread may have added it (or a colliding one) meanwhile:
       probe on from where the lock-free search stopped. */
    uint32_t result = 0;
    for (;;) {
        uint32_t id = s_index[slot];
        if (!id) break;
        if (SameRecord(s_records[id - 1], hash, frames, depth)) {
            result = id;
            break;
        }
        slot = (slot + 1) & (kIndexSlots - 1);
    }
    if (!result && s_recordCount < kMaxRecords) {
        VR_StackRecord &r = s_records[s_recordCount];
        r.hash = hash;
        r.depth = depth;
        memcpy(r.frames, frames, depth * sizeof(uintptr_t));
        result = ++s_recordCount;
        __atomic_store_n(&s_index[slot], result, __ATOMIC_RELEASE);
    }
    vr_os::LockLeave(&s_tableLock);
    return result;
}

} // namespace

__attribute__((noinline)) uint32_t CaptureStack(uintptr_t fp)
{
    uintptr_t frames[kMaxFrames];
    uint32_t depth = 0;
    uintptr_t top = vr_os::ThreadStackTop();
    /* fp is a checking entry's own frame: the saved link and the return
       address into the caller of the runtime sit right above it. */
    frames[depth++] = ((const uintptr_t *)fp)[1];
    while (depth < kMaxFrames) {
        uintptr_t next = ((const uintptr_t *)fp)[0];
        /* A link is followed only up the stack, aligned, and with its two
           words below the top: anything else is not a frame of this chain. */
        if (next <= fp || (next & 3) || !top || next > top - 8 || next - fp > 0x1000000) break;
        fp = next;
        uintptr_t pc = ((const uintptr_t *)fp)[1];
        if (pc < 0x10000) break;
        frames[depth++] = pc;
    }
    return FindOrAdd(frames, depth);
}

const char *CheckValidateStacks()
{
    if (__atomic_load_n(&s_tableState, __ATOMIC_ACQUIRE) <= 0) return 0;
    vr_os::LockEnter(&s_tableLock);
    const char *problem = 0;
    if (s_recordCount > kMaxRecords) problem = "more stack records than the table holds";
    for (uint32_t i = 0; i < s_recordCount && !problem; i++) {
        const VR_StackRecord &r = s_records[i];
        if (r.depth < 1 || r.depth > kMaxFrames) problem = "a stack record of no or too many frames";
        else if (r.hash != HashFrames(r.frames, r.depth)) problem = "a stack record whose hash is not its frames'";
    }
    uint32_t used = 0;
    for (uint32_t slot = 0; slot < kIndexSlots && !problem; slot++) {
        uint32_t id = s_index[slot];
        if (!id) continue;
        used++;
        if (id > s_recordCount) problem = "an index slot naming no record";
    }
    if (!problem && used != s_recordCount) problem = "stack records missing from the index, or indexed twice";
    vr_os::LockLeave(&s_tableLock);
    return problem;
}

uintptr_t StackFirstFrame(uint32_t id)
{
    if (!id || id > __atomic_load_n(&s_recordCount, __ATOMIC_ACQUIRE)) return 0;
    return s_records[id - 1].frames[0];
}

/* The frames of record id as report lines:
       #0 0x0804a123 prog+0x1123 main+0x23 (file.c:12) */
void VR_CheckText::Stack(uint32_t id)
{
    if (!id || id > __atomic_load_n(&s_recordCount, __ATOMIC_ACQUIRE)) {
        Str("    (call stack unknown)\n");
        return;
    }
    const VR_StackRecord &r = s_records[id - 1];
    for (uint32_t i = 0; i < r.depth; i++) {
        Str("    #");
        Num(i);
        Str(" ");
        Hex(r.frames[i]);
        vr_os::CodePlace place;
        /* The return address names the instruction after the call; the
           byte before it lies in the calling line. */
        if (vr_os::DescribeCode(r.frames[i] - 1, &place)) {
            Str(" ");
            Str(place.module);
            Str("+");
            Hex(place.moduleOffset + 1);
            if (place.function[0]) {
                Str(" ");
                Str(place.function);
                Str("+");
                Hex(place.functionOffset + 1);
            }
            if (place.file[0]) {
                Str(" (");
                Str(place.file);
                Str(":");
                Num(place.line);
                Str(")");
            }
        }
        Str("\n");
    }
}

VR_LockStorage *CheckStackTableLock()
{
    return &s_tableLock;
}
