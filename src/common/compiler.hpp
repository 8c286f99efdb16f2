// What differs between compilers and targets, each with a portable path.
// Building with KLOV_PORTABLE defined takes every portable path, so that the
// code other compilers and CPUs take is built and tested here too.
#pragma once

#include <bit>

// The bytes of a word are read and written in memory order by the helpers of
// common/bits.hpp, which convert on big-endian targets; a target of any other
// order has nothing to convert to.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "klov_core needs a little- or big-endian target");

// SSE2 code paths: the x86-64 baseline, so always there on that target.
#if !defined(KLOV_PORTABLE) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define KLOV_HAVE_SSE2 1
#endif

// Kernels for wider x86 instruction sets, enabled per function with target
// attributes (GCC and Clang) and chosen at run time.
#if !defined(KLOV_PORTABLE) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KLOV_HAVE_X86_KERNELS 1
#endif

#if !defined(KLOV_PORTABLE) && (defined(__GNUC__) || defined(__clang__))
#define KLOV_PREFETCH(p) __builtin_prefetch(p)
#define KLOV_NOINLINE __attribute__((noinline))
#define KLOV_ALWAYS_INLINE __attribute__((always_inline)) inline
#elif !defined(KLOV_PORTABLE) && defined(_MSC_VER)
#define KLOV_PREFETCH(p) ((void)(p))
#define KLOV_NOINLINE __declspec(noinline)
#define KLOV_ALWAYS_INLINE __forceinline
#else
#define KLOV_PREFETCH(p) ((void)(p))
#define KLOV_NOINLINE
#define KLOV_ALWAYS_INLINE inline
#endif
