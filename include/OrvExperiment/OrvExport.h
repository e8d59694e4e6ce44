/// @file
/// ORV_EXPORT marks the public API. The library is compiled with hidden visibility, so
/// a shared build exports what carries this mark and nothing else: internal classes and
/// the third-party code inlined into them stay private to the library.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
/// Marks a class, variable or function of the public API: default visibility.
#define ORV_EXPORT __attribute__((visibility("default")))
#else
/// Marks a class, variable or function of the public API (nothing on compilers without
/// visibility attributes).
#define ORV_EXPORT
#endif
