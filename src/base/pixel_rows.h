// Row copies of 32-bit pixels shared by the frame and the window surfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace base {

// Copies n pixels of four bytes (blue, green, red, alpha) with the alpha
// byte of each set to 0xFF: what a window shows of a frame's row. The
// ranges must not overlap.
inline void copy_opaque32(uint8_t* __restrict dst, const uint8_t* __restrict src, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i alpha = _mm_set1_epi32(int32_t(0xFF000000u));
  for (; i + 8 <= n; i += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4 + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * 4), _mm_or_si128(a, alpha));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * 4 + 16), _mm_or_si128(b, alpha));
  }
#endif
  for (; i < n; i++) {
    uint32_t v;
    std::memcpy(&v, src + i * 4, 4);
    v |= 0xFF000000u;
    std::memcpy(dst + i * 4, &v, 4);
  }
}

// copy_opaque32 with stores that bypass the caches, for copies much larger
// than they are (a whole frame): a frame copied through the caches evicts
// everything else and costs a read of each target line before its write.
// stream_fence() must follow the last such copy before the target is read
// by another thread.
inline void copy_opaque32_streaming(uint8_t* __restrict dst, const uint8_t* __restrict src, size_t n) {
#if defined(__SSE2__)
  size_t head = (16 - (reinterpret_cast<uintptr_t>(dst) & 15)) & 15;
  if (head % 4 != 0 || head / 4 >= n) return copy_opaque32(dst, src, n);
  copy_opaque32(dst, src, head / 4);
  size_t i = head / 4;
  const __m128i alpha = _mm_set1_epi32(int32_t(0xFF000000u));
  for (; i + 8 <= n; i += 8) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i * 4 + 16));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i * 4), _mm_or_si128(a, alpha));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i * 4 + 16), _mm_or_si128(b, alpha));
  }
  copy_opaque32(dst + i * 4, src + i * 4, n - i);
#else
  copy_opaque32(dst, src, n);
#endif
}

inline void stream_fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

// Copies of at least this many bytes go through copy_opaque32_streaming.
inline constexpr size_t kStreamingCopyBytes = size_t(2) << 20;

}  // namespace base
