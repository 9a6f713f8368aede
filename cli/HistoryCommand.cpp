#include "cli/HistoryCommand.h"

#include "app/FailureText.h"
#include "app/HistoryText.h"
#include "platform/LocaleText.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdio>

namespace app {
namespace {

void Write(std::FILE* to, const QString& text) {
    const std::string bytes = Win::Utf8ToTerminal(rtl::TUtf8Text(text.toStdString()));
    std::fwrite(bytes.data(), 1, bytes.size(), to);
}

// A field without a value is null, never "" or a sentinel number.
QJsonValue Text(const QString& text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); }
QJsonValue TimeText(const QDateTime& time) {
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}
QJsonValue Count(qint64 n) { return n < 0 ? QJsonValue() : QJsonValue(n); }

QJsonObject JsonOf(const history::TRecord& r) {
    QJsonArray confirmations;
    for (const history::TNumberConfirmation& c : r.Confirmations)
        confirmations.append(QJsonObject{{"number", c.Number}, {"outcome", c.Outcome}, {"subject", Text(c.Subject)},
                                         {"time", TimeText(c.Time)}, {"reason", Text(c.Reason)},
                                         {"pages", c.Pages < 0 ? QJsonValue() : QJsonValue(c.Pages)}});
    QJsonArray files;
    for (const history::TFileEntry& f : r.Files)
        files.append(QJsonObject{{"name", f.Name()}, {"path", f.Path}, {"size", Count(f.Size)}, {"sha256", Text(f.Sha256)}});
    return QJsonObject{
        {"id", r.Id},
        {"front_end", r.FrontEnd},
        {"started", TimeText(r.Started)},
        {"ended", TimeText(r.Ended)},
        {"number_typed", r.NumberTyped},
        {"number", Text(r.Number)},
        {"place", Text(r.Place)},
        {"gateways", QJsonArray::fromStringList(r.Gateways)},
        {"server", Text(r.Server)},
        {"port", r.Port > 0 ? QJsonValue(r.Port) : QJsonValue()},
        {"protection", Text(r.Protection)},
        {"sender", Text(r.Sender)},
        {"files", files},
        {"message_size", Count(r.MessageSize)},
        {"message_id", Text(r.MessageId)},
        {"outcome", history::OutcomeName(r.Outcome)},
        {"failure", Text(r.Failure)},
        {"reply", Text(r.Reply)},
        {"queue_id", Text(r.QueueId())},
        {"confirmation", Text(r.Confirmation)},
        {"confirmation_subject", Text(r.ConfirmationSubject)},
        {"confirmation_time", TimeText(r.ConfirmationTime)},
        {"confirmations", confirmations},
        {"outbox_id", r.OutboxId == 0 ? QJsonValue() : QJsonValue(r.OutboxId)},
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
        if (!r.Confirmation.isEmpty()) cells << ConfirmationText(r.Confirmation);
        // What went wrong, number by number.
        for (const history::TNumberConfirmation& c : r.Confirmations)
            if (history::IsProblem(c.Outcome)) cells << c.Number + QString::fromUtf8("：") + ProblemText(c.Outcome, c.Reason, c.Subject);
        for (QString& cell : cells) cell = VisibleText(cell);
        Write(stdout, cells.join("  ") + '\n');
    }
    std::fflush(stdout);
    return kExitSent;
}

}  // namespace app
