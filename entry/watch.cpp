// `faxmail watch`'s program: the command line with the watch, the one command
// that needs the IMAP library.
#include "cli/CommandLine.h"
#include "cli/WatchCommand.h"

int main(int argc, char** argv) { return app::RunCommandLine(argc, argv, &app::WatchCommand); }
