/*
 * patch_test.cpp - the arithmetic of the patch: which pages an entry's
 * jump (or _msize's six saved bytes) touches, and the jump's displacement.
 */
#include <gtest/gtest.h>

#include "process_internal.h"

TEST(PatchSpan, PagesTouchedByTheJump)
{
    const uint32_t p = 4096;
    uintptr_t first = 0;
    /* The five jump bytes: 1..4 bytes before a page's end reach the next
       page, 5 or more stay on one. */
    for (uint32_t before = 1; before <= 4; before++) {
        EXPECT_EQ(PatchSpan(0x10000 + p - before, p, kJumpLength, &first), 2 * p) << before;
        EXPECT_EQ(first, 0x10000u);
    }
    for (uint32_t before : {5u, 6u, 100u, p}) {
        EXPECT_EQ(PatchSpan(0x10000 + p - before, p, kJumpLength, &first), p) << before;
        EXPECT_EQ(first, 0x10000u);
    }
    /* _msize's six bytes: the bound moves by one. */
    EXPECT_EQ(PatchSpan(0x10000 + p - 5, p, kMsizeSavedLength, &first), 2 * p);
    EXPECT_EQ(PatchSpan(0x10000 + p - 6, p, kMsizeSavedLength, &first), p);
    /* Another page size, and the very top of the address space. */
    EXPECT_EQ(PatchSpan(0x20000 + 8190, 8192, kJumpLength, &first), 2 * 8192u);
    EXPECT_EQ(first, 0x20000u);
    EXPECT_EQ(PatchSpan(0xFFFFF000u, p, kJumpLength, &first), p);
    EXPECT_EQ(first, 0xFFFFF000u);
}

TEST(PatchSpan, JumpDisplacementWrapsBothWays)
{
    EXPECT_EQ(JumpDisplacement((void *)0x1000, (void *)0x2000), 0x1000u - 5);
    EXPECT_EQ((int32_t)JumpDisplacement((void *)0x2000, (void *)0x1000), -0x1000 - 5);
    /* rel32 wraps modulo 2^32 on a 32-bit processor: any target is
       reachable from any entry. */
    EXPECT_EQ(0x10u + 5 + JumpDisplacement((void *)0x10, (void *)0xFFFFFF00u), 0xFFFFFF00u);
    EXPECT_EQ(0xFFFFFF00u + 5 + JumpDisplacement((void *)0xFFFFFF00u, (void *)0x10), 0x10u);
}

/* The _msize trampoline moves whole instructions only: a wrong length
   would run half an instruction. */
TEST(MovableLength, FunctionPrologues)
{
    /* The C library's malloc_usable_size: push ebx; mov edx,[esp+8]. */
    const uint8_t libc[] = {0x53, 0x8B, 0x54, 0x24, 0x08};
    EXPECT_EQ(MovableLength(libc), 1u);
    EXPECT_EQ(MovableLength(libc + 1), 4u);
    /* lea ecx,[esp+4]; and esp,-16; push dword [ecx-4]. */
    const uint8_t aligned[] = {0x8D, 0x4C, 0x24, 0x04, 0x83, 0xE4, 0xF0, 0xFF, 0x71, 0xFC};
    EXPECT_EQ(MovableLength(aligned), 4u);
    EXPECT_EQ(MovableLength(aligned + 4), 3u);
    EXPECT_EQ(MovableLength(aligned + 7), 3u);
    /* Hot-patch prologue: mov edi,edi; push ebp; mov ebp,esp. */
    const uint8_t hotpatch[] = {0x8B, 0xFF, 0x55, 0x8B, 0xEC};
    EXPECT_EQ(MovableLength(hotpatch), 2u);
    EXPECT_EQ(MovableLength(hotpatch + 3), 2u);
    const uint8_t endbr[] = {0xF3, 0x0F, 0x1E, 0xFB};
    EXPECT_EQ(MovableLength(endbr), 4u);
    /* sub esp, imm32; mov eax,[disp32]; mov eax,[ebx+disp32]; mov ecx,[eax+ebx*4+disp8]. */
    const uint8_t more[] = {0x81, 0xEC, 0, 1, 0, 0, 0x8B, 0x05, 1, 2, 3, 4, 0x8B, 0x83, 1, 2, 3, 4, 0x8B, 0x4C, 0x98, 0x10};
    EXPECT_EQ(MovableLength(more), 6u);
    EXPECT_EQ(MovableLength(more + 6), 6u);
    EXPECT_EQ(MovableLength(more + 12), 6u);
    EXPECT_EQ(MovableLength(more + 18), 4u);
    /* mov eax,[ebp+disp32] with SIB base 5 and mod 0: disp32 follows the SIB. */
    const uint8_t sibDisp[] = {0x8B, 0x04, 0x25, 1, 2, 3, 4};
    EXPECT_EQ(MovableLength(sibDisp), 7u);
}

TEST(MovableLength, RelativeOrUnknownInstructionsAreRefused)
{
    const uint8_t call[] = {0xE8, 0, 0, 0, 0};      /* call rel32 */
    const uint8_t jump[] = {0xEB, 0x10};            /* jmp rel8 */
    const uint8_t branch[] = {0x74, 0x10};          /* je rel8 */
    const uint8_t indirect[] = {0xFF, 0x15, 0, 0, 0, 0}; /* call [disp32] */
    const uint8_t jumpTo[] = {0xE9, 0, 0, 0, 0};    /* another hook's jump */
    EXPECT_EQ(MovableLength(call), 0u);
    EXPECT_EQ(MovableLength(jump), 0u);
    EXPECT_EQ(MovableLength(branch), 0u);
    EXPECT_EQ(MovableLength(indirect), 0u);
    EXPECT_EQ(MovableLength(jumpTo), 0u);
}
