// The program body: starts the modules in their order, runs the join once,
// ends them in the reverse order. The exit code is always 0.
#include "CRC32/CRC32.h"
#include "MiscSFX/MiscSFX.h"
#include "ParcelStub/ParcelStub.h"
#include "SplitSFX/Constants.h"
#include "SplitSFX/SplitSFX.h"
#include "platform/RunTime.h"

int main() {
  PlatformStartup();  // the run-time and the system interface
  MiscSFXStartup();
  ConstantsStartup();
  SplitSFXStartup();
  // The dialog module needs no start-up of its own.
  CRC32Startup();
  ParcelStubStartup();

  RunJoin();

  ParcelStubShutdown();
  CRC32Shutdown();
  SplitSFXShutdown();
  ConstantsShutdown();
  MiscSFXShutdown();
  PlatformShutdown();
  return 0;
}
