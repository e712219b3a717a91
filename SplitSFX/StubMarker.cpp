// The self-joining program's marker (see StubMarker.h): linked into the
// program itself only, never into the tools or the tests.
#include "SplitSFX/StubMarker.h"

namespace stubmarker {

struct Marker {
  char text[stubmarker::kTextSize];
  unsigned char formatMajor;
  unsigned char formatMinor;
};

constexpr Marker MakeMarker() {
  Marker marker{};
  for (unsigned i = 0; i < stubmarker::kTextSize; ++i) marker.text[i] = stubmarker::kText[i];
  marker.formatMajor = 2;
  marker.formatMinor = 3;
  return marker;
}

// Kept by the compiler and the linker although nothing reads it.
extern const Marker kParcelStubMarker;
__attribute__((section(".parcel"), used)) const Marker kParcelStubMarker = MakeMarker();

}  // namespace stubmarker
