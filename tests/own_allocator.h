// KESTREL_OWN_ALLOCATOR is 1 when the program runs on the C library's own
// allocator, 0 under a sanitizer's (whose heap figures differ and which
// aborts where the C library would fail an allocation).
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTREL_OWN_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTREL_OWN_ALLOCATOR 0
#endif
#endif
#ifndef KESTREL_OWN_ALLOCATOR
#define KESTREL_OWN_ALLOCATOR 1
#endif
