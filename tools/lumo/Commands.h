// The subcommands of lumo. Each parses its own options (ParseCommandLine,
// with argv[0] its name), prints its help for --help, and returns an exit
// code (ExitCodes.h).
#pragma once

#include "Options.h"

namespace lumo::tool {

struct Command {
  const char* name;
  const char* summary;  // one line for `lumo --help`
  int (*run)(int argc, char** argv, GlobalOptions& globals);
};

int ListCommand(int argc, char** argv, GlobalOptions& globals);
int InfoCommand(int argc, char** argv, GlobalOptions& globals);
int RegCommand(int argc, char** argv, GlobalOptions& globals);
int SendCommand(int argc, char** argv, GlobalOptions& globals);
int RecvCommand(int argc, char** argv, GlobalOptions& globals);
int GrabCommand(int argc, char** argv, GlobalOptions& globals);
int WatchCommand(int argc, char** argv, GlobalOptions& globals);
#ifdef LUMO_TOOL_VIEW
int ViewCommand(int argc, char** argv, GlobalOptions& globals);
#endif

// Prints a command's help: its usage lines and what it does, then the
// global options.
void PrintCommandHelp(const char* usage);

}  // namespace lumo::tool
