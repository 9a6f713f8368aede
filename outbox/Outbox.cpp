#include "outbox/Outbox.h"

#include "mail/ReplyError.h"
#include "mail/Smtp.h"
#include "platform/CodePage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QUuid>
#include <QVariant>

#include <atomic>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace outbox {
namespace {

using Kind = rtl::TErrorKind;

const std::pair<TState, const char*> kStateNames[] = {
    {TState::Queued, "queued"}, {TState::Sending, "sending"}, {TState::Failed, "failed"}, {TState::MaybeSent, "maybe-sent"}};

TState StateOf(const QString& name) {
    for (const auto& [state, text] : kStateNames)
        if (name == text) return state;
    return TState::Failed;
}

QString TimeText(const QDateTime& time) { return time.toUTC().toString(Qt::ISODateWithMs); }
QDateTime TimeOf(const QString& text) { return QDateTime::fromString(text, Qt::ISODateWithMs); }

QString B64(const std::string& bytes) { return QString::fromLatin1(QByteArray::fromStdString(bytes).toBase64()); }
std::string Bytes(const QJsonValue& value) { return QByteArray::fromBase64(value.toString().toLatin1()).toStdString(); }

// The request as stored: every text by its own bytes, the password never.
QString RequestText(const fax::TSendRequest& r) {
    QJsonArray more;
    for (const rtl::TGbText& n : r.MoreNumbers) more.append(B64(n.Bytes()));
    const QJsonObject o{{"server", B64(r.Server.Bytes())},     {"port", r.Port},
                        {"security", static_cast<int>(r.Security)}, {"login", B64(r.LoginName.Bytes())},
                        {"trust_file", B64(r.TrustFile.Bytes())},  {"email", B64(r.Email.Bytes())},
                        {"number", B64(r.Number.Bytes())},        {"more_numbers", more},
                        {"gateway", B64(r.GatewayPattern.Bytes())}, {"home_country", r.HomeCountry},
                        {"subject", B64(r.Subject.Bytes())}};
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

fax::TSendRequest RequestOf(const QString& text, const std::vector<TCopy>& files) {
    const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
    fax::TSendRequest r;
    r.Server = rtl::TGbText(Bytes(o["server"]));
    r.Port = o["port"].toInt();
    r.Security = static_cast<mail::TSmtpSecurity>(o["security"].toInt());
    r.LoginName = rtl::TUtf8Text(Bytes(o["login"]));
    r.TrustFile = rtl::TFilePath(Bytes(o["trust_file"]));
    r.Email = rtl::TGbText(Bytes(o["email"]));
    r.Number = rtl::TGbText(Bytes(o["number"]));
    for (const QJsonValue& n : o["more_numbers"].toArray()) r.MoreNumbers.emplace_back(Bytes(n));
    r.GatewayPattern = rtl::TGbText(Bytes(o["gateway"]));
    r.HomeCountry = o["home_country"].toInt();
    r.Subject = rtl::TGbText(Bytes(o["subject"]));
    for (const TCopy& f : files) r.Files.emplace_back(f.Path.toStdString());
    return r;
}

QString FilesText(const std::vector<TCopy>& files) {
    QJsonArray list;
    for (const TCopy& f : files)
        list.append(QJsonObject{{"original", QString::fromLatin1(f.Original.toBase64())},
                                {"copy", QString::fromLatin1(f.Path.toBase64())},
                                {"sha256", f.Sha256},
                                {"size", f.Size}});
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

std::vector<TCopy> FilesOf(const QString& text) {
    std::vector<TCopy> files;
    for (const QJsonValue& v : QJsonDocument::fromJson(text.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        files.push_back({QByteArray::fromBase64(o["original"].toString().toLatin1()),
                         QByteArray::fromBase64(o["copy"].toString().toLatin1()), o["sha256"].toString(),
                         o["size"].toInteger()});
    }
    return files;
}

constexpr char kColumns[] =
    "id, state, front_end, created, due, give_up, tries, last_failure, numbers, files, request, claim_pid, end_mark_sent";

TEntry EntryOf(const QSqlQuery& q) {
    TEntry e;
    e.Id = q.value(0).toLongLong();
    e.State = StateOf(q.value(1).toString());
    e.FrontEnd = q.value(2).toString();
    e.Created = TimeOf(q.value(3).toString());
    e.Due = TimeOf(q.value(4).toString());
    e.GiveUp = TimeOf(q.value(5).toString());
    e.Tries = q.value(6).toInt();
    e.LastFailure = q.value(7).toString();
    e.Numbers = q.value(8).toString();
    e.Files = FilesOf(q.value(9).toString());
    e.Request = RequestOf(q.value(10).toString(), e.Files);
    return e;
}

bool Alive(qint64 pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// The file's SHA-256 in lower-case hex, or empty when it cannot be read whole.
QString DigestOf(const QByteArray& path) {
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file)) return {};
    return QString::fromLatin1(hash.result().toHex());
}

// Copies a regular file, read by its own bytes, to a new file of the owner
// alone; its digest and size, or an empty digest when it could not be copied.
TCopy CopyFile(const QByteArray& from, const QByteArray& to) {
    TCopy copy{from, to, {}, 0};
    const int in = ::open(from.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return copy;
    struct stat st {};
    const int out = ::fstat(in, &st) == 0 && S_ISREG(st.st_mode)
                        ? ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR)
                        : -1;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    bool whole = out >= 0;
    char buffer[1 << 16];
    // Read to the size the file had when opened: one that grows never ends the copy.
    while (whole && copy.Size < st.st_size) {
        const ssize_t n = ::read(in, buffer, static_cast<std::size_t>(std::min<qint64>(sizeof buffer, st.st_size - copy.Size)));
        if (n <= 0 || ::write(out, buffer, static_cast<std::size_t>(n)) != n) whole = false;
        if (n > 0) {
            hash.addData(QByteArrayView(buffer, n));
            copy.Size += n;
        }
    }
    if (out >= 0 && ::close(out) != 0) whole = false;
    ::close(in);
    if (whole) copy.Sha256 = QString::fromLatin1(hash.result().toHex());
    return copy;
}

QString Utf8(const char* text) { return QString::fromUtf8(text); }
// A null QString binds as NULL; the columns hold empty text instead.
QString NotNull(const QString& text) { return text.isNull() ? QString("") : text; }

}  // namespace

QString StateName(TState state) {
    for (const auto& [value, name] : kStateNames)
        if (value == state) return name;
    return "failed";
}

bool SafeToRetry(const std::exception& failure) {
    if (dynamic_cast<const mail::EMaybeDelivered*>(&failure) != nullptr) return false;
    const auto* e = dynamic_cast<const rtl::Exception*>(&failure);
    if (e == nullptr) return false;
    switch (e->Kind) {
        // Nothing the user can mend: the line, the server's name or the server itself.
        case Kind::TimedOut:
        case Kind::ClosedByPeer:
        case Kind::LookupFailed:
        case Kind::ConnectionRefused:
        case Kind::Unreachable: return true;
        // A reply's code says whether it is temporary; the login's and TLS's
        // refusals need the user whatever their code.
        case Kind::Refused:
        case Kind::SenderRefused:
        case Kind::RecipientRefused:
        case Kind::TooLarge: {
            const auto* reply = dynamic_cast<const mail::ESmtpReplyError*>(e);
            return reply != nullptr && reply->Code >= 400 && reply->Code < 500;
        }
        default: return false;
    }
}

int RetryDelayMinutes(int Tries) {
    constexpr int kSteps[] = {1, 5, 15, 30};
    return Tries >= 1 && Tries <= 4 ? kSteps[Tries - 1] : 60;
}

TOutbox::TOutbox(QString Path, QString Folder) : FilePath(std::move(Path)), CopyFolder(std::move(Folder)) {
    static std::atomic<int> connections{0};
    ConnectionName = QString("outbox-%1").arg(++connections);
}

TOutbox::~TOutbox() { Close(); }

QString TOutbox::DefaultPath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return folder.isEmpty() ? QString() : folder + "/outbox.sqlite";
}

QString TOutbox::DefaultFolder() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return folder.isEmpty() ? QString() : folder + "/outbox";
}

void TOutbox::Close() {
    if (!Db.isValid()) return;
    Db.close();
    Db = QSqlDatabase();
    QSqlDatabase::removeDatabase(ConnectionName);
}

bool TOutbox::Open() {
    LastProblem.clear();
    if (Db.isOpen()) return true;
    if (FilePath.isEmpty() || CopyFolder.isEmpty()) {
        LastProblem = Utf8("找不到存放发件箱的文件夹。");
        return false;
    }
    // Numbers, addresses and the documents themselves: the owner's alone.
    for (const QString& folder : {QFileInfo(FilePath).absolutePath(), CopyFolder}) {
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    }
    const QByteArray path = QFile::encodeName(FilePath);
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0 ? !S_ISREG(st.st_mode) : false) {
        LastProblem = Utf8("发件箱的位置 %1 不是普通文件。").arg(FilePath);
        return false;
    }
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0) {
        ::fchmod(fd, S_IRUSR | S_IWUSR);
        ::close(fd);
    }
    Db = QSqlDatabase::addDatabase("QSQLITE", ConnectionName);
    Db.setDatabaseName(FilePath);
    // Ten flushes at once wait for each other's short transactions.
    Db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=20000");
    QSqlQuery q(Db);
    const bool ready = Db.open() && q.exec("PRAGMA journal_mode=WAL") && q.exec("BEGIN IMMEDIATE") &&
                       q.exec("CREATE TABLE IF NOT EXISTS faxes ("
                              " id INTEGER PRIMARY KEY AUTOINCREMENT, state TEXT NOT NULL, front_end TEXT NOT NULL,"
                              " created TEXT NOT NULL, due TEXT NOT NULL, give_up TEXT NOT NULL,"
                              " tries INTEGER NOT NULL DEFAULT 0, last_failure TEXT NOT NULL DEFAULT '',"
                              " numbers TEXT NOT NULL, files TEXT NOT NULL, request TEXT NOT NULL,"
                              " claim_pid INTEGER NOT NULL DEFAULT 0, claim_time TEXT NOT NULL DEFAULT '',"
                              " end_mark_sent INTEGER NOT NULL DEFAULT 0)") &&
                       q.exec(QString("SELECT %1 FROM faxes LIMIT 0").arg(kColumns)) && q.exec("COMMIT");
    if (ready) return true;
    LastProblem = Utf8("发件箱无法打开（%1）。").arg((q.lastError().isValid() ? q.lastError() : Db.lastError()).text());
    Close();
    return false;
}

bool TOutbox::Transaction(const std::function<bool(QSqlQuery&)>& Write) {
    if (!Open()) return false;
    QSqlQuery q(Db);
    // IMMEDIATE takes the write lock before the first read: a claim's
    // reading and marking are one step for every other process.
    if (q.exec("BEGIN IMMEDIATE") && Write(q) && q.exec("COMMIT")) return true;
    LastProblem = Utf8("发件箱无法写入（%1）。").arg(q.lastError().text());
    QSqlQuery(Db).exec("ROLLBACK");
    return false;
}

qint64 TOutbox::Add(const fax::TSendRequest& Request, const QString& FrontEnd, const QDateTime& Due, int Tries,
                    const QString& LastFailure, QString& Error) {
    Error.clear();
    if (!Open()) {
        Error = LastProblem;
        return 0;
    }
    // The copies are made aside, under a name no flush looks at, and take
    // the fax's id with the row that names them.
    const QString staging = CopyFolder + "/new-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    std::vector<TCopy> copies;
    for (std::size_t i = 0; i < Request.Files.size(); ++i) {
        const QByteArray original = QByteArray::fromStdString(Request.Files[i].Bytes());
        const QString folder = staging + '/' + QString::number(i);
        QDir().mkpath(folder);
        ::chmod(QFile::encodeName(staging).constData(), S_IRWXU);
        ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
        // The same name: the attachment is named after its file.
        TCopy copy = CopyFile(original, QFile::encodeName(folder) + '/' + original.mid(original.lastIndexOf('/') + 1));
        if (copy.Sha256.isEmpty()) {
            QDir(staging).removeRecursively();
            Error = Utf8("无法为发件箱复制文件 %1。").arg(QFile::decodeName(original));
            return 0;
        }
        copies.push_back(copy);
    }
    QStringList numbers{QString::fromStdString(Win::Gb2312ToUtf8(Request.Number.Bytes()))};
    for (const rtl::TGbText& more : Request.MoreNumbers) numbers << QString::fromStdString(Win::Gb2312ToUtf8(more.Bytes()));
    const QDateTime now = Now();
    qint64 id = 0;
    const bool written = Transaction([&](QSqlQuery& q) {
        q.prepare("INSERT INTO faxes (state, front_end, created, due, give_up, tries, last_failure, numbers, files, request)"
                  " VALUES ('queued', :front_end, :created, :due, :give_up, :tries, :failure, :numbers, '[]', :request)");
        q.bindValue(":tries", Tries);
        q.bindValue(":failure", NotNull(LastFailure));
        q.bindValue(":front_end", FrontEnd);
        q.bindValue(":created", TimeText(now));
        q.bindValue(":due", TimeText(Due));
        q.bindValue(":give_up", TimeText(std::max(Due, now).addSecs(qint64{GiveUpHours} * 3600)));
        q.bindValue(":numbers", numbers.join("; "));
        q.bindValue(":request", RequestText(Request));
        if (!q.exec()) return false;
        id = q.lastInsertId().toLongLong();
        const QString final = CopyFolder + '/' + QString::number(id);
        if (!copies.empty() && !QDir().rename(staging, final)) return false;
        const QByteArray from = QFile::encodeName(staging), to = QFile::encodeName(final);
        for (TCopy& copy : copies) copy.Path = to + copy.Path.mid(from.size());
        q.prepare("UPDATE faxes SET files = :files WHERE id = :id");
        q.bindValue(":files", FilesText(copies));
        q.bindValue(":id", id);
        return q.exec();
    });
    if (written) return id;
    QDir(staging).removeRecursively();
    if (id != 0) RemoveCopies(id);
    Error = LastProblem;
    return 0;
}

std::vector<TEntry> TOutbox::List() {
    std::vector<TEntry> entries;
    if (!Open()) return entries;
    QSqlQuery q(Db);
    q.setForwardOnly(true);
    if (q.exec(QString("SELECT %1 FROM faxes ORDER BY id").arg(kColumns)))
        while (q.next()) entries.push_back(EntryOf(q));
    return entries;
}

std::optional<TEntry> TOutbox::Find(qint64 Id) {
    if (!Open()) return std::nullopt;
    QSqlQuery q(Db);
    q.prepare(QString("SELECT %1 FROM faxes WHERE id = :id").arg(kColumns));
    q.bindValue(":id", Id);
    if (q.exec() && q.next()) return EntryOf(q);
    return std::nullopt;
}

int TOutbox::Waiting() {
    if (!Open()) return 0;
    QSqlQuery q(Db);
    return q.exec("SELECT COUNT(*) FROM faxes WHERE state IN ('queued', 'sending')") && q.next() ? q.value(0).toInt() : 0;
}

std::optional<TEntry> TOutbox::Claim(qint64 Id) {
    for (;;) {
        std::optional<TEntry> taken;
        const QDateTime now = Now();
        const bool written = Transaction([&](QSqlQuery& q) {
            // Claims of processes that are gone: due again, unless the end mark had gone out.
            std::vector<std::pair<qint64, bool>> orphans;
            if (!q.exec("SELECT id, claim_pid, end_mark_sent, claim_time FROM faxes WHERE state = 'sending'")) return false;
            // No send lasts hours: an older claim is one whose process id was taken by another.
            const QString stale = TimeText(now.addSecs(-6 * 3600));
            while (q.next())
                if (!Alive(q.value(1).toLongLong()) || q.value(3).toString() < stale)
                    orphans.emplace_back(q.value(0).toLongLong(), q.value(2).toInt() != 0);
            for (const auto& [id, endMarkSent] : orphans) {
                q.prepare(endMarkSent ? "UPDATE faxes SET state = 'maybe-sent', claim_pid = 0, last_failure = :failure WHERE id = :id"
                                      : "UPDATE faxes SET state = 'queued', claim_pid = 0, due = :now WHERE id = :id");
                if (endMarkSent)
                    q.bindValue(":failure", Utf8("发送这份传真的程序在邮件结尾发出后中断了，传真可能已经发出：重新发送之前请先检查邮箱。"));
                else
                    q.bindValue(":now", TimeText(now));
                q.bindValue(":id", id);
                if (!q.exec()) return false;
            }
            if (Id == 0) {
                q.prepare(QString("SELECT %1 FROM faxes WHERE state = 'queued' AND due <= :now ORDER BY due, id LIMIT 1").arg(kColumns));
                q.bindValue(":now", TimeText(now));
            } else {
                q.prepare(QString("SELECT %1 FROM faxes WHERE id = :id AND state IN ('queued', 'failed')").arg(kColumns));
                q.bindValue(":id", Id);
            }
            if (!q.exec()) return false;
            if (!q.next()) return true;
            taken = EntryOf(q);
            // Sent again by the user: the give-up time starts anew.
            if (taken->State == TState::Failed) taken->GiveUp = now.addSecs(qint64{GiveUpHours} * 3600);
            taken->State = TState::Sending;
            ++taken->Tries;
            q.prepare("UPDATE faxes SET state = 'sending', claim_pid = :pid, claim_time = :now, tries = :tries,"
                      " give_up = :give_up, end_mark_sent = 0 WHERE id = :id");
            q.bindValue(":pid", static_cast<qint64>(::getpid()));
            q.bindValue(":now", TimeText(now));
            q.bindValue(":tries", taken->Tries);
            q.bindValue(":give_up", TimeText(taken->GiveUp));
            q.bindValue(":id", taken->Id);
            return q.exec();
        });
        if (!written || !taken) return std::nullopt;
        bool intact = true;
        for (const TCopy& copy : taken->Files) intact = intact && DigestOf(copy.Path) == copy.Sha256;
        if (intact) return taken;
        Failed(taken->Id, Utf8("发件箱中这份传真的文件副本已被改动或删除，传真没有发送。"), false);
        if (Id != 0) return std::nullopt;
    }
}

void TOutbox::EndMarkGoing(qint64 Id) {
    Transaction([&](QSqlQuery& q) {
        q.prepare("UPDATE faxes SET end_mark_sent = 1 WHERE id = :id");
        q.bindValue(":id", Id);
        return q.exec();
    });
}

void TOutbox::Sent(qint64 Id) {
    const bool written = Transaction([&](QSqlQuery& q) {
        q.prepare("DELETE FROM faxes WHERE id = :id");
        q.bindValue(":id", Id);
        return q.exec();
    });
    if (written) RemoveCopies(Id);
}

void TOutbox::GiveUp(TEntry entry, const QString& Failure) {
    entry.State = TState::Failed;
    entry.LastFailure = Failure;
    if (OnGivenUp) OnGivenUp(entry);
}

void TOutbox::Failed(qint64 Id, const QString& Failure, bool Retry) {
    std::optional<TEntry> entry = Find(Id);
    if (!entry) return;
    const QDateTime next = Now().addSecs(qint64{RetryDelayMinutes(entry->Tries)} * 60);
    const bool givenUp = Retry && next > entry->GiveUp;
    const bool queued = Retry && !givenUp;
    const QString failure = givenUp ? Utf8("到了放弃的时间仍未发出，已不再重试：") + Failure : Failure;
    const bool written = Transaction([&](QSqlQuery& q) {
        q.prepare("UPDATE faxes SET state = :state, due = :due, last_failure = :failure, claim_pid = 0 WHERE id = :id");
        q.bindValue(":state", queued ? "queued" : "failed");
        q.bindValue(":due", TimeText(queued ? next : entry->Due));
        q.bindValue(":failure", NotNull(failure));
        q.bindValue(":id", Id);
        return q.exec();
    });
    if (written && givenUp) GiveUp(*entry, failure);
}

void TOutbox::MaybeSent(qint64 Id, const QString& Failure) {
    Transaction([&](QSqlQuery& q) {
        q.prepare("UPDATE faxes SET state = 'maybe-sent', last_failure = :failure, claim_pid = 0 WHERE id = :id");
        q.bindValue(":failure", NotNull(Failure));
        q.bindValue(":id", Id);
        return q.exec();
    });
}

bool TOutbox::Delete(qint64 Id) {
    bool found = false;
    const bool written = Transaction([&](QSqlQuery& q) {
        q.prepare("SELECT state, claim_pid FROM faxes WHERE id = :id");
        q.bindValue(":id", Id);
        if (!q.exec()) return false;
        if (!q.next() || (q.value(0).toString() == "sending" && Alive(q.value(1).toLongLong()))) return true;
        q.prepare("DELETE FROM faxes WHERE id = :id");
        q.bindValue(":id", Id);
        found = q.exec();
        return found;
    });
    if (written && found) RemoveCopies(Id);
    return written && found;
}

void TOutbox::RemoveCopies(qint64 Id) { QDir(CopyFolder + '/' + QString::number(Id)).removeRecursively(); }

}  // namespace outbox
