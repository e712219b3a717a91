// CRC-32 of ISO-HDLC / IEEE 802.3: reflected, polynomial 0xEDB88320, initial
// value all ones, final complement.
//
// UpdateCrc32 runs sixteen bytes per step ("slicing by 16"): table k of
// SliceTables gives the CRC contribution of a byte followed by k zero bytes,
// so sixteen independent lookups replace a chain of sixteen dependent ones.
// Every table is derived from Crc32Table at compile time. This loop is plain
// C++ and runs on any processor, of either byte order.
//
// On x86 processors with carry-less multiplication (PCLMULQDQ), runs of 64
// bytes and more are folded 64 bytes at a time instead, and the sliced loop
// takes the last few bytes. The choice is made once, at the first call, from
// the processor's feature bits; the folding routine alone is compiled for
// that instruction set, so the program as a whole still runs on any x86. On
// other processors the folding code is not compiled at all.
//
// There is no 256-bit (VPCLMULQDQ) form: the README's figures say why.
#include "CRC32/CRC32.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#define CRC32_HAS_CLMUL 1
#include <emmintrin.h>
#include <wmmintrin.h>
#else
#define CRC32_HAS_CLMUL 0
#endif

constexpr uint32_t Crc32Table[256] = {
    0x00000000, 0x77073096, 0xEE0E612C, 0x990951BA, 0x076DC419, 0x706AF48F,
    0xE963A535, 0x9E6495A3, 0x0EDB8832, 0x79DCB8A4, 0xE0D5E91E, 0x97D2D988,
    0x09B64C2B, 0x7EB17CBD, 0xE7B82D07, 0x90BF1D91, 0x1DB71064, 0x6AB020F2,
    0xF3B97148, 0x84BE41DE, 0x1ADAD47D, 0x6DDDE4EB, 0xF4D4B551, 0x83D385C7,
    0x136C9856, 0x646BA8C0, 0xFD62F97A, 0x8A65C9EC, 0x14015C4F, 0x63066CD9,
    0xFA0F3D63, 0x8D080DF5, 0x3B6E20C8, 0x4C69105E, 0xD56041E4, 0xA2677172,
    0x3C03E4D1, 0x4B04D447, 0xD20D85FD, 0xA50AB56B, 0x35B5A8FA, 0x42B2986C,
    0xDBBBC9D6, 0xACBCF940, 0x32D86CE3, 0x45DF5C75, 0xDCD60DCF, 0xABD13D59,
    0x26D930AC, 0x51DE003A, 0xC8D75180, 0xBFD06116, 0x21B4F4B5, 0x56B3C423,
    0xCFBA9599, 0xB8BDA50F, 0x2802B89E, 0x5F058808, 0xC60CD9B2, 0xB10BE924,
    0x2F6F7C87, 0x58684C11, 0xC1611DAB, 0xB6662D3D, 0x76DC4190, 0x01DB7106,
    0x98D220BC, 0xEFD5102A, 0x71B18589, 0x06B6B51F, 0x9FBFE4A5, 0xE8B8D433,
    0x7807C9A2, 0x0F00F934, 0x9609A88E, 0xE10E9818, 0x7F6A0DBB, 0x086D3D2D,
    0x91646C97, 0xE6635C01, 0x6B6B51F4, 0x1C6C6162, 0x856530D8, 0xF262004E,
    0x6C0695ED, 0x1B01A57B, 0x8208F4C1, 0xF50FC457, 0x65B0D9C6, 0x12B7E950,
    0x8BBEB8EA, 0xFCB9887C, 0x62DD1DDF, 0x15DA2D49, 0x8CD37CF3, 0xFBD44C65,
    0x4DB26158, 0x3AB551CE, 0xA3BC0074, 0xD4BB30E2, 0x4ADFA541, 0x3DD895D7,
    0xA4D1C46D, 0xD3D6F4FB, 0x4369E96A, 0x346ED9FC, 0xAD678846, 0xDA60B8D0,
    0x44042D73, 0x33031DE5, 0xAA0A4C5F, 0xDD0D7CC9, 0x5005713C, 0x270241AA,
    0xBE0B1010, 0xC90C2086, 0x5768B525, 0x206F85B3, 0xB966D409, 0xCE61E49F,
    0x5EDEF90E, 0x29D9C998, 0xB0D09822, 0xC7D7A8B4, 0x59B33D17, 0x2EB40D81,
    0xB7BD5C3B, 0xC0BA6CAD, 0xEDB88320, 0x9ABFB3B6, 0x03B6E20C, 0x74B1D29A,
    0xEAD54739, 0x9DD277AF, 0x04DB2615, 0x73DC1683, 0xE3630B12, 0x94643B84,
    0x0D6D6A3E, 0x7A6A5AA8, 0xE40ECF0B, 0x9309FF9D, 0x0A00AE27, 0x7D079EB1,
    0xF00F9344, 0x8708A3D2, 0x1E01F268, 0x6906C2FE, 0xF762575D, 0x806567CB,
    0x196C3671, 0x6E6B06E7, 0xFED41B76, 0x89D32BE0, 0x10DA7A5A, 0x67DD4ACC,
    0xF9B9DF6F, 0x8EBEEFF9, 0x17B7BE43, 0x60B08ED5, 0xD6D6A3E8, 0xA1D1937E,
    0x38D8C2C4, 0x4FDFF252, 0xD1BB67F1, 0xA6BC5767, 0x3FB506DD, 0x48B2364B,
    0xD80D2BDA, 0xAF0A1B4C, 0x36034AF6, 0x41047A60, 0xDF60EFC3, 0xA867DF55,
    0x316E8EEF, 0x4669BE79, 0xCB61B38C, 0xBC66831A, 0x256FD2A0, 0x5268E236,
    0xCC0C7795, 0xBB0B4703, 0x220216B9, 0x5505262F, 0xC5BA3BBE, 0xB2BD0B28,
    0x2BB45A92, 0x5CB36A04, 0xC2D7FFA7, 0xB5D0CF31, 0x2CD99E8B, 0x5BDEAE1D,
    0x9B64C2B0, 0xEC63F226, 0x756AA39C, 0x026D930A, 0x9C0906A9, 0xEB0E363F,
    0x72076785, 0x05005713, 0x95BF4A82, 0xE2B87A14, 0x7BB12BAE, 0x0CB61B38,
    0x92D28E9B, 0xE5D5BE0D, 0x7CDCEFB7, 0x0BDBDF21, 0x86D3D2D4, 0xF1D4E242,
    0x68DDB3F8, 0x1FDA836E, 0x81BE16CD, 0xF6B9265B, 0x6FB077E1, 0x18B74777,
    0x88085AE6, 0xFF0F6A70, 0x66063BCA, 0x11010B5C, 0x8F659EFF, 0xF862AE69,
    0x616BFFD3, 0x166CCF45, 0xA00AE278, 0xD70DD2EE, 0x4E048354, 0x3903B3C2,
    0xA7672661, 0xD06016F7, 0x4969474D, 0x3E6E77DB, 0xAED16A4A, 0xD9D65ADC,
    0x40DF0B66, 0x37D83BF0, 0xA9BCAE53, 0xDEBB9EC5, 0x47B2CF7F, 0x30B5FFE9,
    0xBDBDF21C, 0xCABAC28A, 0x53B39330, 0x24B4A3A6, 0xBAD03605, 0xCDD70693,
    0x54DE5729, 0x23D967BF, 0xB3667A2E, 0xC4614AB8, 0x5D681B02, 0x2A6F2B94,
    0xB40BBE37, 0xC30C8EA1, 0x5A05DF1B, 0x2D02EF8D,
};

namespace {

constexpr uint32_t Polynomial = 0xEDB88320u;

// Entry i as the definition gives it: eight right shifts, each one whose
// outgoing bit was 1 followed by an exclusive or with the polynomial.
constexpr uint32_t TableEntry(uint32_t i) {
  uint32_t c = i;
  for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ Polynomial : c >> 1;
  return c;
}

constexpr bool TableMatchesDefinition() {
  for (uint32_t i = 0; i < 256; ++i)
    if (Crc32Table[i] != TableEntry(i)) return false;
  return true;
}
static_assert(TableMatchesDefinition(), "Crc32Table is the table of 0xEDB88320");

constexpr int SliceCount = 16;
using SliceTableSet = std::array<std::array<uint32_t, 256>, SliceCount>;

constexpr SliceTableSet MakeSliceTables() {
  SliceTableSet t{};
  for (int i = 0; i < 256; ++i) t[0][i] = Crc32Table[i];
  for (int k = 1; k < SliceCount; ++k)
    for (int i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ Crc32Table[t[k - 1][i] & 0xFFu];
  return t;
}

constexpr SliceTableSet SliceTables = MakeSliceTables();

// Four bytes as a little-endian word whatever the processor's byte order;
// compilers make this one load on little-endian machines.
inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t Crc32Bytes(uint32_t crc, const uint8_t* p, size_t n) {
  for (; n > 0; --n) crc = Crc32Table[(crc ^ *p++) & 0xFFu] ^ (crc >> 8);
  return crc;
}

uint32_t Crc32Sliced(uint32_t crc, const uint8_t* p, size_t n) {
  const auto& t = SliceTables;
  for (; n >= 16; n -= 16, p += 16) {
    const uint32_t w0 = Load32(p) ^ crc;
    const uint32_t w1 = Load32(p + 4);
    const uint32_t w2 = Load32(p + 8);
    const uint32_t w3 = Load32(p + 12);
    crc = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
          t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
          t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
          t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
  }
  return Crc32Bytes(crc, p, n);
}

#if CRC32_HAS_CLMUL
// ---------------------------------------------------------------- folding
//
// The running CRC is kept as a 128-bit remainder that is folded forward with
// carry-less products by constants of the form x^n mod P (bit-reflected and
// shifted left by one), then reduced to 32 bits by a Barrett step. A pair
// (x^(n+32), x^(n-32)) folds a 128-bit lane forward by n bits:
//   n = 512   four 128-bit lanes over the next 64 bytes
//   n = 128   one 128-bit lane over the next 16 bytes
//   k5 = x^64                          fold 64 bits into 32
//   mu = x^64 div P, and P itself, both reflected (33 bits)
#define CRC32_CLMUL_TARGET __attribute__((target("pclmul,sse2")))

constexpr uint64_t FoldBy512[2] = {0x154442BD4, 0x1C6E41596};
constexpr uint64_t FoldBy128[2] = {0x1751997D0, 0x0CCAA009E};

CRC32_CLMUL_TARGET inline __m128i Pair(const uint64_t (&k)[2]) {
  return _mm_set_epi64x(static_cast<long long>(k[1]), static_cast<long long>(k[0]));
}

CRC32_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i high = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

CRC32_CLMUL_TARGET inline __m128i LoadBlock(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Folds the remaining 16-byte blocks (n is a multiple of 16) into x, then
// reduces x to the 32-bit CRC.
CRC32_CLMUL_TARGET inline uint32_t Reduce(__m128i x, const uint8_t* p, size_t n) {
  const __m128i k3k4 = Pair(FoldBy128);
  const __m128i k5 = _mm_set_epi64x(0, 0x163CD6124);
  const __m128i poly = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
  const __m128i low32 = _mm_set_epi32(0, -1, 0, -1);

  for (; n >= 16; p += 16, n -= 16) x = Fold(x, k3k4, LoadBlock(p));

  // 128 bits to 64.
  x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, k3k4, 0x10));
  // 64 bits to 32 (in the upper half of the low quadword).
  x = _mm_xor_si128(_mm_srli_si128(x, 4),
                    _mm_clmulepi64_si128(_mm_and_si128(x, low32), k5, 0x00));
  // Barrett reduction.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  x = _mm_xor_si128(x, t);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

constexpr size_t FoldMinimum = 64;

// n is at least FoldMinimum and a multiple of 16.
CRC32_CLMUL_TARGET uint32_t Crc32Folded(uint32_t crc, const uint8_t* p, size_t n) {
  const __m128i k1k2 = Pair(FoldBy512);
  const __m128i k3k4 = Pair(FoldBy128);

  __m128i x1 = _mm_xor_si128(LoadBlock(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = LoadBlock(p + 16);
  __m128i x3 = LoadBlock(p + 32);
  __m128i x4 = LoadBlock(p + 48);
  for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
    x1 = Fold(x1, k1k2, LoadBlock(p));
    x2 = Fold(x2, k1k2, LoadBlock(p + 16));
    x3 = Fold(x3, k1k2, LoadBlock(p + 32));
    x4 = Fold(x4, k1k2, LoadBlock(p + 48));
  }
  x1 = Fold(x1, k3k4, x2);
  x1 = Fold(x1, k3k4, x3);
  x1 = Fold(x1, k3k4, x4);
  return Reduce(x1, p, n);
}

#undef CRC32_CLMUL_TARGET

Crc32Path ProcessorPath() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2"))
    return Crc32Path::Clmul;
  return Crc32Path::Sliced;
}
#else
Crc32Path ProcessorPath() { return Crc32Path::Sliced; }
#endif  // CRC32_HAS_CLMUL

Crc32Path FastestPath() {
  static const Crc32Path fastest = ProcessorPath();
  return fastest;
}

// Long runs are folded on the given path, and the sliced loop takes what is
// left (fewer than 16 bytes after folding, or a run too short to fold).
uint32_t Crc32On(Crc32Path path, uint32_t crc, const uint8_t* p, size_t n) {
  if (path == Crc32Path::Bytewise) return Crc32Bytes(crc, p, n);
#if CRC32_HAS_CLMUL
  const size_t whole = n & ~static_cast<size_t>(15);
  if (path == Crc32Path::Clmul && n >= FoldMinimum) {
    crc = Crc32Folded(crc, p, whole);
    p += whole;
    n -= whole;
  }
#endif
  return Crc32Sliced(crc, p, n);
}

// The Start/Count/Finish frame shared by every form.
uint32_t Frame(Crc32Path path, const void* buffer, int32_t count, uint32_t crc, bool start,
               bool finish) {
  if (start) crc = 0xFFFFFFFFu;
  if (count > 0) crc = Crc32On(path, crc, static_cast<const uint8_t*>(buffer),
                               static_cast<size_t>(count));
  if (finish) crc = ~crc;
  return crc;
}

}  // namespace

uint32_t UpdateCrc32Byte(uint8_t value, uint32_t crc) {
  return Crc32Table[(crc ^ value) & 0xFFu] ^ (crc >> 8);
}

void UpdateCrc32(const void* buffer, int32_t count, uint32_t& crc, bool start, bool finish) {
  crc = Frame(FastestPath(), buffer, count, crc, start, finish);
}

Crc32Path Crc32FastestPath() { return FastestPath(); }

bool Crc32PathAvailable(Crc32Path path) {
  return path == Crc32Path::Bytewise || static_cast<int>(path) <= static_cast<int>(FastestPath());
}

const char* Crc32PathName(Crc32Path path) {
  switch (path) {
    case Crc32Path::Bytewise: return "byte-wise";
    case Crc32Path::Sliced: return "sliced";
    case Crc32Path::Clmul: return "PCLMULQDQ";
  }
  return "?";
}

void UpdateCrc32On(Crc32Path path, const void* buffer, int32_t count, uint32_t& crc, bool start,
                   bool finish) {
  if (!Crc32PathAvailable(path)) path = FastestPath();
  crc = Frame(path, buffer, count, crc, start, finish);
}

void CRC32Startup() {}
void CRC32Shutdown() {}
