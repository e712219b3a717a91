// The mark that makes a program recognisable as our self-joining program:
// a section of its own in the executable (".parcel", in the Windows and the
// Linux build alike) that begins with the marker text. parcel split looks
// for it before it makes a self-joining file, so that no other program (a
// text file, parcel itself) can be taken for one.
#pragma once

namespace stubmarker {

// The section's name: at most 8 characters, as a PE section name holds.
constexpr char kSectionName[] = ".parcel";

// The text the section begins with, its zero byte included; the two bytes
// after it are the major and minor version of the volume format the
// program reads.
constexpr char kText[] = "parcelstub self-joining program";
constexpr unsigned kTextSize = sizeof kText;  // with the zero byte

}  // namespace stubmarker
