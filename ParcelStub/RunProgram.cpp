// The self-joining program's one start-up sequence: the order in which the
// modules start and end around the join.
#include "ParcelStub/RunProgram.h"

#include "CRC32/CRC32.h"
#include "MiscSFX/MiscSFX.h"
#include "ParcelStub/ParcelStub.h"
#include "SplitSFX/Constants.h"
#include "SplitSFX/SplitSFX.h"
#include "platform/RunTime.h"

int RunProgram() {
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
