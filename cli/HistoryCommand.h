// `faxmail history`: the send history on standard output, newest first, one
// line per record, or one JSON object per line for scripts.
#pragma once

#include "history/History.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace app {

struct THistoryOptions {
    QCommandLineOption Limit{"limit", "", "n", "20"};
    QCommandLineOption Json{"json", ""};
    QList<QCommandLineOption> All() const { return {Limit, Json}; }
};

// Runs the command; returns the exit status (2 for a bad --limit or extra arguments).
int HistoryCommand(const QCommandLineParser& parser, const THistoryOptions& options, const QStringList& args);

// The second line `faxmail send` prints for a sent fax: the Message-ID, a
// blank, the server's reply to the end of the message.
QString SentLine(const history::TRecord& record);

}  // namespace app
