#include "app/HistoryCommand.h"

#include "app/CommandLine.h"
#include "app/HistoryText.h"
#include "platform/CodePage.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace app {
namespace {

void Write(std::FILE* to, const QString& text) {
    const std::string bytes = Win::Utf8ToLocale(text.toStdString());
    std::fwrite(bytes.data(), 1, bytes.size(), to);
}

QString TimeText(const QDateTime& time) { return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString(); }

QJsonObject JsonOf(const history::TRecord& r) {
    QJsonArray files;
    for (const history::TFileEntry& f : r.Files)
        files.append(QJsonObject{{"name", f.Name()}, {"path", f.Path}, {"size", f.Size}, {"sha256", f.Sha256}});
    return QJsonObject{
        {"id", r.Id},
        {"front_end", r.FrontEnd},
        {"started", TimeText(r.Started)},
        {"ended", TimeText(r.Ended)},
        {"number_typed", r.NumberTyped},
        {"number", r.Number},
        {"place", r.Place},
        {"gateways", QJsonArray::fromStringList(r.Gateways)},
        {"server", r.Server},
        {"port", r.Port},
        {"protection", r.Protection},
        {"sender", r.Sender},
        {"files", files},
        {"message_size", r.MessageSize},
        {"message_id", r.MessageId},
        {"outcome", history::OutcomeName(r.Outcome)},
        {"failure", r.Failure},
        {"reply", r.Reply},
        {"queue_id", r.QueueId()},
        {"confirmation", r.Confirmation},
        {"confirmation_subject", r.ConfirmationSubject},
        {"confirmation_time", TimeText(r.ConfirmationTime)},
    };
}

}  // namespace

QString SentLine(const history::TRecord& record) { return record.MessageId + ' ' + record.Reply; }

int HistoryCommand(const QCommandLineParser& parser, const THistoryOptions& options, const QStringList& args) {
    const auto usage = [](const char* text) {
        Write(stderr, QString::fromUtf8(text) + QString::fromUtf8("\n用 faxmail --help 查看用法。\n"));
        return kExitUsage;
    };
    if (!args.isEmpty()) return usage("history 不接受其它参数。");
    bool ok = false;
    const int limit = parser.value(options.Limit).toInt(&ok);
    if (!ok || limit < 0) return usage("--limit 必须是不小于 0 的整数（0：全部）。");

    history::THistory store;
    store.OnNotice = [](const QString& text) { Write(stderr, text + '\n'); };
    const bool json = parser.isSet(options.Json);
    for (const history::TRecord& r : store.Latest(limit)) {
        if (json) {
            Write(stdout, QString::fromUtf8(QJsonDocument(JsonOf(r)).toJson(QJsonDocument::Compact)) + '\n');
            continue;
        }
        QStringList cells{StartedText(r), OutcomeText(r.Outcome), r.NumberTyped};
        if (!r.Place.isEmpty()) cells << r.Place;
        cells << FileNamesText(r);
        if (!r.QueueId().isEmpty()) cells << r.QueueId();
        Write(stdout, cells.join("  ") + '\n');
    }
    std::fflush(stdout);
    return kExitSent;
}

}  // namespace app
