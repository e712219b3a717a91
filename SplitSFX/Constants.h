// The product name and version the self-joining program's texts and
// templates carry.
#pragma once

#include <string>

extern const char* const VersionText;  // "2.03"
extern const char* const ProductName;  // "Parcelon"

// Module start and end; the texts are constants, so both do nothing.
void ConstantsStartup();
void ConstantsShutdown();
