// `faxmail outbox`: the faxes waiting in the outbox, listed (one JSON object
// a line with --json) or one deleted; --flush sends what is due (CommandLine.cpp).
#pragma once

#include <QCommandLineOption>
#include <QList>
#include <QStringList>

class QCommandLineParser;

namespace app {

// `send --queue` or `--at` put the fax into the outbox.
inline constexpr int kExitQueued = 7;

struct TOutboxOptions {
    QCommandLineOption Flush{"flush", ""};
    QCommandLineOption Delete{"delete", "", "id"};
    QList<QCommandLineOption> All() const { return {Flush, Delete}; }
};

// The listing (Json: one object a line) or --delete ID; the exit status.
int OutboxListOrDelete(const QCommandLineParser& parser, const TOutboxOptions& options, bool Json, const QStringList& args);

}  // namespace app
