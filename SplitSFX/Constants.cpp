// The product name and version (see Constants.h).
#include "SplitSFX/Constants.h"

const char* const VersionText = "2.03";
const char* const ProductName = "Parcelon";

void ConstantsStartup() {}
void ConstantsShutdown() {}
