// The custom mutator shared by the fuzz targets whose inputs are set images
// (SetImage.h): fuzz_join (the self-joining program) and fuzz_parcel (the
// parcel tool).
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzset {

// LLVMFuzzerCustomMutator's contract: changes data (size bytes, room for
// maxSize) in place and answers the new size.
size_t MutateSet(uint8_t* data, size_t size, size_t maxSize, unsigned seed);

}  // namespace fuzzset
