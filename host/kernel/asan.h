// Marking memory that the driver may not touch, in builds with ASan; a no-op
// elsewhere, where guard pages catch what they can.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZHOST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZHOST_ASAN 1
#endif

// Copies of whole pages that hold poisoned bytes: unchecked, and (clang)
// not traced as coverage, which would cost a fuzzer more than the rest of
// an input.
#if defined(__clang__)
#define ZHOST_PAGE_COPY __attribute__((no_sanitize("address", "coverage")))
#else
#define ZHOST_PAGE_COPY __attribute__((no_sanitize("address")))
#endif

#ifdef ZHOST_ASAN
#include <sanitizer/asan_interface.h>
#define ZHOST_POISON(address, size) __asan_poison_memory_region((address), (size))
#define ZHOST_UNPOISON(address, size) __asan_unpoison_memory_region((address), (size))
#else
#define ZHOST_POISON(address, size) ((void)(address), (void)(size))
#define ZHOST_UNPOISON(address, size) ((void)(address), (void)(size))
#endif
