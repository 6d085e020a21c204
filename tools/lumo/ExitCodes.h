// The exit codes of lumo; `lumo --help` lists them.
#pragma once

namespace lumo::tool {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,        // the operation failed: refused, timed out, camera removed...
  kExitUsage = 2,         // the command line is wrong
  kExitNoCamera = 3,      // no camera found, or none under the index asked for
  kExitCannotOpen = 4,    // the camera is there but could not be opened
  kExitFile = 5,          // an output file could not be written
  kExitInterrupted = 130  // Ctrl-C before the work was done
};

}  // namespace lumo::tool
