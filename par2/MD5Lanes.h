// The MD5 lane kernel written once over a register type of G 128-bit lanes
// (4G streams), for MD5Sse2.cpp, MD5Avx2.cpp and MD5Avx512.cpp. Internal
// linkage only: each including file is compiled for its own instruction set.
//
// Stream 4g + m sits in element m of 128-bit lane g. The sixteen message
// words of a block are brought into that order sixteen bytes at a time:
// register Y_m takes bytes 16q..16q+15 of stream 4g + m into its lane g, and
// a 4x4 transpose within the 128-bit lanes (which every instruction set
// here has) gives words 4q..4q+3 of all streams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "par2/MD5Kernels.h"

namespace {

// V supplies, beside what md5::Compress needs: static constexpr int Lanes128;
// Gather(const uint8_t* const* data, int m, size_t offset) (Y_m above);
// UnpackLo32/Hi32/Lo64/Hi64 within 128-bit lanes; FromArray/ToArray over
// 4 * Lanes128 uint32_t.
template <class V>
void CompressLanes(uint32_t* const* states, const uint8_t* const* data, size_t blocks) {
  constexpr int Streams = 4 * V::Lanes128;
  alignas(64) uint32_t column[4][Streams];
  for (int w = 0; w < 4; ++w)
    for (int s = 0; s < Streams; ++s) column[w][s] = states[s][w];
  V a = V::FromArray(column[0]), b = V::FromArray(column[1]), c = V::FromArray(column[2]),
    d = V::FromArray(column[3]);
  for (size_t block = 0; block < blocks; ++block) {
    V m[16];
    for (int q = 0; q < 4; ++q) {
      const size_t at = block * 64 + 16 * q;
      const V y0 = V::Gather(data, 0, at), y1 = V::Gather(data, 1, at), y2 = V::Gather(data, 2, at),
              y3 = V::Gather(data, 3, at);
      const V t0 = V::UnpackLo32(y0, y1), t1 = V::UnpackHi32(y0, y1), t2 = V::UnpackLo32(y2, y3),
              t3 = V::UnpackHi32(y2, y3);
      m[4 * q] = V::UnpackLo64(t0, t2);
      m[4 * q + 1] = V::UnpackHi64(t0, t2);
      m[4 * q + 2] = V::UnpackLo64(t1, t3);
      m[4 * q + 3] = V::UnpackHi64(t1, t3);
    }
    md5::Compress(a, b, c, d, m);
  }
  V::ToArray(a, column[0]);
  V::ToArray(b, column[1]);
  V::ToArray(c, column[2]);
  V::ToArray(d, column[3]);
  for (int w = 0; w < 4; ++w)
    for (int s = 0; s < Streams; ++s) states[s][w] = column[w][s];
}

}  // namespace
