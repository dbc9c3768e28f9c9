/*
 * os_assert.h - invariant checks. Debug builds (VR_DEBUG) check them and
 * end the process with a report naming the broken condition; release builds
 * compile them out, so a check may sit on any path.
 */
#ifndef VR_OS_ASSERT_H
#define VR_OS_ASSERT_H

namespace vr_os {

/* Reports a broken invariant and ends the process. */
void AssertFailed(const char *what, const char *file, int line);

} // namespace vr_os

#if defined(VR_DEBUG)
#  define VR_ASSERT(c) ((c) ? (void)0 : vr_os::AssertFailed(#c, __FILE__, __LINE__))
#else
#  define VR_ASSERT(c) ((void)0)
#endif

#endif
