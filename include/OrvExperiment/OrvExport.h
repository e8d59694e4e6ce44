// ORV_EXPORT marks the public API. The library is compiled with hidden visibility, so
// a shared build exports what carries this mark and nothing else: internal classes and
// the third-party code inlined into them stay private to the library.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ORV_EXPORT __attribute__((visibility("default")))
#else
#define ORV_EXPORT
#endif
