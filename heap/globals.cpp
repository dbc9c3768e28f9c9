/*
 * globals.cpp - the two heaps that live from library load to process exit:
 * HeapForHeaps, which serves heap objects made with new, and DefaultHeap,
 * which serves every thread until it picks another heap; and the flags
 * through which InitVorrel tells DefaultHeap's initialisation whether it
 * must be locked.
 *
 * The runtime hooks are installed by an initialiser of priority 200, so
 * both heaps may be used before their constructors (201, 202) run; they
 * then initialise themselves on first use and their constructors keep
 * what they already hold. Destruction runs in reverse order at exit and,
 * since both heaps are static, only deletes their locks.
 */
#include "heap_internal.h"

int s_initInstanceSeen = 0;
int s_initCalled = 0;
int s_initMultithreaded = 1;

VR_Heap HeapForHeaps __attribute__((init_priority(201)))(VR_HEAP_MULTITHREADED, "HeapForHeaps");
VR_Heap DefaultHeap __attribute__((init_priority(202)))(VR_HEAP_MULTITHREADED, "DefaultHeap");
