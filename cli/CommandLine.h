// The program without windows: `faxmail send` and `faxmail coverage`, for
// scripts and machines without a desktop. A send goes through the same
// dispatch as the send button, with the same checks, texts and dialogue.
#pragma once

#include "app/FailureText.h"

#include <QString>
#include <QStringList>

namespace app {

// Exit statuses of the command line: app/FailureText.h.

// True when the arguments name a command (or ask for help or the version)
// rather than starting the windows. Qt's own single-dash options
// (-platform, -style, ...) and existing files (documents to fax) start the windows.
bool IsCommandLine(int argc, char** argv);
bool IsCommandName(const QString& word);

// `faxmail watch`'s own program links the watch (cli/WatchCommand.h) and
// passes it here; `faxmail` passes none and starts that program instead, so
// that no other command loads the IMAP library.
using TWatchCommand = int (*)(const QStringList& arguments);

// Runs the command the arguments name; returns the exit status. Needs no display.
int RunCommandLine(int argc, char** argv, TWatchCommand watch = nullptr);

}  // namespace app
