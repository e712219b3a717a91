// Product name and version.
#pragma once

#include <string>

extern const char* const VersionText;  // "2.03"
extern const char* const ProductName;  // "Parcelon"

void ConstantsStartup();
void ConstantsShutdown();
