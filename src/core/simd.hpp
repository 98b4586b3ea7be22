// The one switch for the SSE2 paths of the core: QOR_SSE2 is 1, with
// <emmintrin.h> included, where the target has SSE2 (every x86-64 target),
// and 0 elsewhere, where the plain loops run alone. Every vector path adds
// the same terms in the same order as its plain loop, so both give the same
// results to the last bit.
#pragma once

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QOR_SSE2 1
#else
#define QOR_SSE2 0
#endif
