// The self-joining program's marker (see kStubMarkerText in VolumeFormat.h):
// a section of its own that begins with the marker text and the format
// version the program reads. Linked into the program itself only, never into
// the tools or the tests, so that only the program carries it.
#include "VolumeFormat/VolumeFormat.h"

namespace volformat {

struct Marker {
  char text[kStubMarkerTextSize];
  unsigned char formatMajor;
  unsigned char formatMinor;
};

constexpr Marker MakeMarker() {
  Marker marker{};
  for (size_t i = 0; i < kStubMarkerTextSize; ++i) marker.text[i] = kStubMarkerText[i];
  marker.formatMajor = kMajorVersion;
  marker.formatMinor = kNewestMinorVersion;
  return marker;
}

// Kept by the compiler and the linker although nothing reads it.
extern const Marker kParcelStubMarker;
__attribute__((section(PARCEL_STUB_SECTION), used)) const Marker kParcelStubMarker = MakeMarker();

}  // namespace volformat
