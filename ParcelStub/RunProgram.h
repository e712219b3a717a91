// The self-joining program's one start-up sequence: the modules started in
// their order, one join, the modules ended in the reverse order. The
// program's main and the in-process join fuzz target both run it.
#pragma once

// Starts every module, runs the join once, ends every module; answers the
// program's exit code, which is always 0.
int RunProgram();
