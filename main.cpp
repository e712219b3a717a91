// The self-joining program's entry point: the start-up sequence, one join,
// exit code 0 (see ParcelStub/RunProgram.cpp).
#include "ParcelStub/RunProgram.h"

int main() { return RunProgram(); }
