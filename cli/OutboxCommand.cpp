#include "cli/OutboxCommand.h"

#include "app/FailureText.h"
#include "outbox/Outbox.h"
#include "platform/LocaleText.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace app {
namespace {

void Write(std::FILE* to, const QString& text) {
    const std::string bytes = Win::Utf8ToTerminal(rtl::TUtf8Text(text.toStdString()));
    std::fwrite(bytes.data(), 1, bytes.size(), to);
    std::fflush(to);
}

QJsonValue TimeText(const QDateTime& time) {
    return time.isValid() ? QJsonValue(time.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

QString NameOf(const outbox::TCopy& copy) { return QFileInfo(QFile::decodeName(copy.Original)).fileName(); }

QJsonObject JsonOf(const outbox::TEntry& e) {
    QJsonArray files;
    for (const outbox::TCopy& f : e.Files)
        files.append(QJsonObject{{"name", NameOf(f)}, {"path", QFile::decodeName(f.Original)}, {"size", f.Size}, {"sha256", f.Sha256}});
    return {{"id", e.Id},
            {"state", outbox::StateName(e.State)},
            {"front_end", e.FrontEnd},
            {"numbers", e.Numbers},
            {"files", files},
            {"created", TimeText(e.Created)},
            {"due", TimeText(e.Due)},
            {"give_up", TimeText(e.GiveUp)},
            {"tries", e.Tries},
            {"last_failure", e.LastFailure.isEmpty() ? QJsonValue() : QJsonValue(e.LastFailure)}};
}

QString StateText(outbox::TState state) {
    switch (state) {
        case outbox::TState::Queued: return QString::fromUtf8("等待发送");
        case outbox::TState::Sending: return QString::fromUtf8("正在发送");
        case outbox::TState::Failed: return QString::fromUtf8("失败");
        case outbox::TState::MaybeSent: return QString::fromUtf8("可能已发出");
    }
    return {};
}

}  // namespace

int OutboxListOrDelete(const QCommandLineParser& parser, const TOutboxOptions& options, bool Json, const QStringList& args) {
    const auto usage = [](const QString& text) {
        Write(stderr, text + QString::fromUtf8("\n用 faxmail --help 查看用法。\n"));
        return kExitUsage;
    };
    if (!args.isEmpty()) return usage(QString::fromUtf8("outbox 不接受其它参数：") + args.first());
    outbox::TOutbox box;
    if (parser.isSet(options.Delete)) {
        bool ok = false;
        const qint64 id = parser.value(options.Delete).toLongLong(&ok);
        if (!ok || id <= 0) return usage(QString::fromUtf8("--delete 需要发件箱中传真的编号。"));
        if (box.Delete(id)) return kExitSent;
        Write(stderr, box.Problem().isEmpty() ? QString::fromUtf8("发件箱中没有第 %1 号传真，或者它正在发送。\n").arg(id) : box.Problem() + '\n');
        return kExitRefused;
    }
    const std::vector<outbox::TEntry> entries = box.List();
    if (!box.Problem().isEmpty()) {
        Write(stderr, box.Problem() + '\n');
        return kExitRefused;
    }
    for (const outbox::TEntry& e : entries) {
        if (Json) {
            Write(stdout, QString::fromUtf8(QJsonDocument(JsonOf(e)).toJson(QJsonDocument::Compact)) + '\n');
            continue;
        }
        QStringList names;
        for (const outbox::TCopy& f : e.Files) names << NameOf(f);
        QStringList cells{QString::number(e.Id), StateText(e.State), e.Due.toLocalTime().toString("yyyy-MM-dd HH:mm"),
                          QString::fromUtf8("已试 %1 次").arg(e.Tries), e.Numbers, names.join(", ")};
        if (!e.LastFailure.isEmpty()) cells << e.LastFailure.simplified();
        Write(stdout, cells.join("  ") + '\n');
    }
    return kExitSent;
}

}  // namespace app
