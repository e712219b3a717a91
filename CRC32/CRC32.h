// CRC-32 (reflected polynomial 0xEDB88320, initial value all ones, final
// complement) over data that arrives in chunks.
#pragma once

#include <cstdint>

// The CRC of each byte value: the table the byte loop steps through.
extern const uint32_t Crc32Table[256];

// One byte run through a running (not yet complemented) crc.
uint32_t UpdateCrc32Byte(uint8_t value, uint32_t crc);

// Runs count bytes through crc. start resets crc to all ones first; finish
// complements it afterwards. A count of 0 or less passes no bytes.
void UpdateCrc32(const void* buffer, int32_t count, uint32_t& crc, bool start, bool finish);

// The ways UpdateCrc32 can compute, slowest first. Bytewise is the reference
// the others are tested and measured against; Sliced runs on any processor;
// Clmul folds long runs with carry-less multiplication on x86 processors
// that have it (PCLMULQDQ).
enum class Crc32Path { Bytewise, Sliced, Clmul };

// The path UpdateCrc32 takes on this processor, chosen once.
Crc32Path Crc32FastestPath();

// Whether this processor can run path.
bool Crc32PathAvailable(Crc32Path path);

// The path's name as the benchmark prints it.
const char* Crc32PathName(Crc32Path path);

// UpdateCrc32 on the given path (the fastest one when this processor cannot
// run it), for the tests and the benchmark.
void UpdateCrc32On(Crc32Path path, const void* buffer, int32_t count, uint32_t& crc, bool start,
                   bool finish);

// Module start and end; nothing to do (the path is chosen at the first call).
void CRC32Startup();
void CRC32Shutdown();
