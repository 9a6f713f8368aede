// A failure of a send or a connection test, explained: what happened, with
// the server and port, which setting to change, and the component's own text
// in parentheses for support. Also the command line's exit status by kind.
#pragma once

#include "mail/Smtp.h"
#include "rtl/SysUtils.h"

#include <QString>

#include <exception>

namespace app {

// Exit statuses of the command line, by what ended it.
inline constexpr int kExitSent = 0;
inline constexpr int kExitRefused = 1;      // refused before connecting: input, files, number, settings
inline constexpr int kExitUsage = 2;
inline constexpr int kExitServer = 3;       // network or server failure: nothing went out, safe to retry
inline constexpr int kExitTlsOrLogin = 4;   // TLS or login failure: fix the settings
inline constexpr int kExitMaybeSent = 5;    // the fax may already have gone: check before resending
inline constexpr int kExitFaxProblem = 6;   // watch: a fax failed or went unanswered during the run
inline constexpr int kExitInterrupted = 130;  // Ctrl+C, as the shells count it
inline constexpr int kExitTerminated = 143;   // SIGTERM (timeout, kill, a logout)

// Where the failed send was going, and who reads the text.
struct TServerTarget {
    QString Host;
    int Port = 0;
    bool CommandLine = false;  // settings are named with their options too
};

// The explanation of a failure raised by a send (or a connection test).
// A stop reads "发送已停止…"; a text that explains itself (the fax may have
// gone, a design text) is shown as it is.
QString ExplainFailure(const std::exception& failure, const TServerTarget& target);

// The command line's exit status for a failure that ended a send.
int ExitStatusOf(const std::exception& failure);

// The status text of a step of the dialogue ("" for steps without one).
QString StepText(mail::TSmtpPhase phase, const TServerTarget& target, std::uint32_t greetingLimitMs);

}  // namespace app
