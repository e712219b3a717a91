// CRC-32 (reflected polynomial 0xEDB88320, initial value all ones, final
// complement) over data that arrives in chunks.
#pragma once

#include <cstdint>

extern const uint32_t Crc32Table[256];

uint32_t UpdateCrc32Byte(uint8_t value, uint32_t crc);

// Runs count bytes through crc. start resets crc to all ones first; finish
// complements it afterwards. A count of 0 or less passes no bytes.
void UpdateCrc32(const void* buffer, int32_t count, uint32_t& crc, bool start, bool finish);

// The byte-at-a-time form of UpdateCrc32, kept as the reference that the fast
// paths are tested and measured against.
void UpdateCrc32Bytewise(const void* buffer, int32_t count, uint32_t& crc, bool start,
                         bool finish);

// UpdateCrc32 without the carry-less multiply path: the sliced table loop
// alone, which is what UpdateCrc32 runs on processors without PCLMULQDQ.
void UpdateCrc32Sliced(const void* buffer, int32_t count, uint32_t& crc, bool start,
                       bool finish);

// Whether UpdateCrc32 folds long runs with carry-less multiplication on this
// processor.
bool Crc32UsesFolding();

void CRC32Startup();
void CRC32Shutdown();
