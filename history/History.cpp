#include "history/History.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace history {
namespace {

// Step N brings a database of schema version N to version N + 1; each step
// is a list of statements (Qt runs one statement per query).
const std::vector<std::vector<const char*>> kMigrations = {
    {
        "CREATE TABLE sends ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " front_end TEXT NOT NULL DEFAULT '',"
        " started TEXT NOT NULL, ended TEXT NOT NULL DEFAULT '',"
        " number_typed TEXT NOT NULL DEFAULT '', number TEXT NOT NULL DEFAULT '', place TEXT NOT NULL DEFAULT '',"
        " gateways TEXT NOT NULL DEFAULT '',"
        " server TEXT NOT NULL DEFAULT '', port INTEGER NOT NULL DEFAULT 0, protection TEXT NOT NULL DEFAULT '',"
        " sender TEXT NOT NULL DEFAULT '',"
        " files TEXT NOT NULL DEFAULT '[]', message_size INTEGER NOT NULL DEFAULT -1,"
        " message_id TEXT NOT NULL DEFAULT '',"
        " outcome TEXT NOT NULL DEFAULT 'unfinished', failure TEXT NOT NULL DEFAULT '', reply TEXT NOT NULL DEFAULT '',"
        " confirmation TEXT NOT NULL DEFAULT '', confirmation_subject TEXT NOT NULL DEFAULT '',"
        " confirmation_time TEXT NOT NULL DEFAULT '')",
        "CREATE INDEX sends_started ON sends(started)",
    },
    {
        // One confirmation per number; a problem not yet looked at.
        "ALTER TABLE sends ADD COLUMN confirmations TEXT NOT NULL DEFAULT '[]'",
        "ALTER TABLE sends ADD COLUMN unseen INTEGER NOT NULL DEFAULT 0",
    },
    // Each try of a fax from the outbox names its entry there.
    {"ALTER TABLE sends ADD COLUMN outbox_id INTEGER NOT NULL DEFAULT 0"},
};
static_assert(THistory::kSchemaVersion == 3, "one migration step per schema version");

constexpr char kColumns[] =
    "id, front_end, started, ended, number_typed, number, place, gateways, server, port, protection, sender, files,"
    " message_size, message_id, outcome, failure, reply, confirmation, confirmation_subject, confirmation_time,"
    " confirmations, unseen, outbox_id";

// SQLite's primary result codes that say the file is not a sound database.
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteCantOpen = 14;
constexpr int kSqliteNotADb = 26;

int SqliteCode(const QSqlError& error) { return error.nativeErrorCode().toInt() & 0xff; }

// What is at the path, links not followed: 0 nothing, else its st_mode.
mode_t ModeAt(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode : 0;
}

// The history and its companions as a regular file of the owner alone (0600,
// whatever the umask), or nothing yet; false when something else is there (a
// link someone planted, which SQLite would follow).
bool OwnFileOrNothing(const QString& path) {
    const mode_t mode = ModeAt(path);
    if (mode == 0) return true;
    if (!S_ISREG(mode)) return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool owned = ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
    ::close(fd);
    return owned;
}

// Moves the file to a name where nothing is, a dangling link included; never
// by copying, which would write through such a link.
bool RenameToFreeName(const QString& from, const QString& to) {
    const QByteArray a = QFile::encodeName(from);
    const QByteArray b = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without it: a hard link refuses an existing name as well.
    if (::link(a.constData(), b.constData()) != 0) return false;
    return ::unlink(a.constData()) == 0;
}

QString TimeText(const QDateTime& time) { return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString(); }
QDateTime TimeOf(const QString& text) { return text.isEmpty() ? QDateTime() : QDateTime::fromString(text, Qt::ISODateWithMs); }

// A path whose decoded text does not give its bytes back also keeps them,
// in base64 ("path_bytes"); the records before lack it and need none.
QString FilesText(const std::vector<TFileEntry>& files) {
    QJsonArray list;
    for (const TFileEntry& f : files) {
        QJsonObject o{{"name", f.Name()}, {"path", f.Path}, {"size", f.Size}, {"sha256", f.Sha256}};
        if (!f.PathBytes.isEmpty() && QFile::encodeName(f.Path) != f.PathBytes)
            o["path_bytes"] = QString::fromLatin1(f.PathBytes.toBase64());
        list.append(o);
    }
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

std::vector<TFileEntry> FilesOf(const QString& text) {
    std::vector<TFileEntry> files;
    for (const QJsonValue& v : QJsonDocument::fromJson(text.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        TFileEntry f{o["path"].toString(), o["size"].toInteger(-1), o["sha256"].toString()};
        f.PathBytes = o.contains("path_bytes") ? QByteArray::fromBase64(o["path_bytes"].toString().toLatin1())
                                               : QFile::encodeName(f.Path);
        files.push_back(f);
    }
    return files;
}

QString ConfirmationsText(const std::vector<TNumberConfirmation>& list) {
    QJsonArray array;
    for (const TNumberConfirmation& c : list)
        array.append(QJsonObject{{"index", c.Index}, {"number", c.Number}, {"outcome", c.Outcome}, {"subject", c.Subject},
                                 {"time", TimeText(c.Time)}, {"reason", c.Reason}, {"pages", c.Pages}});
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

std::vector<TNumberConfirmation> ConfirmationsOf(const QString& text) {
    std::vector<TNumberConfirmation> list;
    for (const QJsonValue& v : QJsonDocument::fromJson(text.toUtf8()).array()) {
        const QJsonObject o = v.toObject();
        list.push_back({o["index"].toInt(), o["number"].toString(), o["outcome"].toString(), o["subject"].toString(),
                        TimeOf(o["time"].toString()), o["reason"].toString(), o["pages"].toInt(-1)});
    }
    return list;
}

// A null QString binds as NULL; the columns hold empty text instead.
QString NotNull(const QString& text) { return text.isNull() ? QString("") : text; }

void Bind(QSqlQuery& q, const TRecord& r) {
    q.bindValue(":front_end", NotNull(r.FrontEnd));
    q.bindValue(":started", NotNull(TimeText(r.Started)));
    q.bindValue(":ended", NotNull(TimeText(r.Ended)));
    q.bindValue(":number_typed", NotNull(r.NumberTyped));
    q.bindValue(":number", NotNull(r.Number));
    q.bindValue(":place", NotNull(r.Place));
    q.bindValue(":gateways", NotNull(r.Gateways.join('\n')));
    q.bindValue(":server", NotNull(r.Server));
    q.bindValue(":port", r.Port);
    q.bindValue(":protection", NotNull(r.Protection));
    q.bindValue(":sender", NotNull(r.Sender));
    q.bindValue(":files", NotNull(FilesText(r.Files)));
    q.bindValue(":message_size", r.MessageSize);
    q.bindValue(":message_id", NotNull(r.MessageId));
    q.bindValue(":outcome", NotNull(OutcomeName(r.Outcome)));
    q.bindValue(":failure", NotNull(r.Failure));
    q.bindValue(":reply", NotNull(r.Reply));
    q.bindValue(":confirmation", NotNull(r.Confirmation));
    q.bindValue(":confirmation_subject", NotNull(r.ConfirmationSubject));
    q.bindValue(":confirmation_time", NotNull(TimeText(r.ConfirmationTime)));
    q.bindValue(":confirmations", ConfirmationsText(r.Confirmations));
    q.bindValue(":unseen", r.Unseen ? 1 : 0);
    q.bindValue(":outbox_id", r.OutboxId);
}

// The stored fields, in the order of kColumns without the id.
constexpr char kFieldList[] =
    "front_end, started, ended, number_typed, number, place, gateways, server, port, protection, sender, files,"
    " message_size, message_id, outcome, failure, reply, confirmation, confirmation_subject, confirmation_time,"
    " confirmations, unseen, outbox_id";

QString Placeholders() {
    QStringList names = QString(kFieldList).split(", ");
    for (QString& n : names) n = ':' + n.trimmed();
    return names.join(", ");
}

QString Assignments() {
    QStringList names = QString(kFieldList).split(", ");
    for (QString& n : names) n = n.trimmed() + " = :" + n.trimmed();
    return names.join(", ");
}

TRecord RecordOf(const QSqlQuery& q) {
    TRecord r;
    int i = 0;
    r.Id = q.value(i++).toLongLong();
    r.FrontEnd = q.value(i++).toString();
    r.Started = TimeOf(q.value(i++).toString());
    r.Ended = TimeOf(q.value(i++).toString());
    r.NumberTyped = q.value(i++).toString();
    r.Number = q.value(i++).toString();
    r.Place = q.value(i++).toString();
    const QString gateways = q.value(i++).toString();
    r.Gateways = gateways.isEmpty() ? QStringList() : gateways.split('\n');
    r.Server = q.value(i++).toString();
    r.Port = q.value(i++).toInt();
    r.Protection = q.value(i++).toString();
    r.Sender = q.value(i++).toString();
    r.Files = FilesOf(q.value(i++).toString());
    r.MessageSize = q.value(i++).toLongLong();
    r.MessageId = q.value(i++).toString();
    r.Outcome = OutcomeFromName(q.value(i++).toString());
    r.Failure = q.value(i++).toString();
    r.Reply = q.value(i++).toString();
    r.Confirmation = q.value(i++).toString();
    r.ConfirmationSubject = q.value(i++).toString();
    r.ConfirmationTime = TimeOf(q.value(i++).toString());
    r.Confirmations = ConfirmationsOf(q.value(i++).toString());
    r.Unseen = q.value(i++).toInt() != 0;
    // A record confirmed before there was one confirmation per number.
    if (r.Confirmations.empty() && !r.Confirmation.isEmpty())
        r.Confirmations.push_back({0, r.Numbers().value(0), r.Confirmation, r.ConfirmationSubject, r.ConfirmationTime, {}, -1});
    r.OutboxId = q.value(i++).toLongLong();
    return r;
}

const std::pair<TOutcome, const char*> kOutcomeNames[] = {
    {TOutcome::Unfinished, "unfinished"}, {TOutcome::Sent, "sent"},       {TOutcome::Refused, "refused"},
    {TOutcome::Failed, "failed"},         {TOutcome::Stopped, "stopped"}, {TOutcome::MaybeSent, "maybe-sent"},
};

}  // namespace

QString OutcomeName(TOutcome outcome) {
    for (const auto& [value, name] : kOutcomeNames)
        if (value == outcome) return name;
    return "unfinished";
}

TOutcome OutcomeFromName(const QString& name) {
    for (const auto& [value, text] : kOutcomeNames)
        if (name == text) return value;
    return TOutcome::Unfinished;
}

QString SummaryOf(const std::vector<TNumberConfirmation>& list, int numbers) {
    if (list.empty()) return QString();
    const auto count = [&](const char* outcome) {
        return std::count_if(list.begin(), list.end(), [&](const TNumberConfirmation& c) { return c.Outcome == QLatin1String(outcome); });
    };
    if (count("failed") > 0) return "failed";
    if (count("delivered") >= std::max(numbers, 1)) return "delivered";
    if (count("unanswered") > 0) return "unanswered";
    if (static_cast<int>(list.size()) >= numbers && count(list.front().Outcome.toLatin1().constData()) == static_cast<long>(list.size()))
        return list.front().Outcome;
    return "answered";
}

bool IsProblem(const QString& outcome) { return outcome == QLatin1String("failed") || outcome == QLatin1String("unanswered"); }

QStringList TRecord::Numbers() const {
    return (Number.isEmpty() ? NumberTyped : Number).split(QString::fromLatin1(kListSeparator), Qt::SkipEmptyParts);
}

QString TFileEntry::Name() const { return QFileInfo(Path).fileName(); }

QByteArray TFileEntry::Bytes() const { return PathBytes.isEmpty() ? QFile::encodeName(Path) : PathBytes; }

QString TRecord::QueueId() const {
    static const QRegularExpression pattern(R"((?:queued as|\bid=)\s*([^\s;,]+))", QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = pattern.match(Reply);
    return match.hasMatch() ? match.captured(1) : QString();
}

THistory::THistory(QString Path) : FilePath(std::move(Path)) {
    static std::atomic<int> connections{0};
    ConnectionName = QString("history-%1").arg(++connections);
}

THistory::~THistory() { Close(); }

QString THistory::DefaultPath() {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return folder.isEmpty() ? QString() : folder + "/history.sqlite";
}

void THistory::Notice(const QString& text) {
    if (OnNotice) OnNotice(text);
}

void THistory::Close() {
    if (!Db.isValid()) return;
    Db.close();
    Db = QSqlDatabase();
    QSqlDatabase::removeDatabase(ConnectionName);
}

bool THistory::Open() {
    if (Unusable) return false;
    if (Db.isOpen()) return true;
    if (FilePath.isEmpty()) {
        Unusable = true;
        Notice(QString::fromUtf8("找不到存放发送记录的文件夹，这次的发送不会被记录。"));
        return false;
    }
    // Addresses, paths and servers: the owner's alone, whatever the umask.
    const QString folder = QFileInfo(FilePath).absolutePath();
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), S_IRWXU);
    for (int attempt = 0;; ++attempt) {
        const bool existed = ModeAt(FilePath) != 0;
        for (const QString& path : {FilePath, FilePath + "-wal", FilePath + "-shm"}) {
            if (OwnFileOrNothing(path)) continue;
            Unusable = true;
            Notice(QString::fromUtf8("发送记录的位置 %1 不是普通文件（例如是一个符号链接），本程序不使用它；这次的发送不会被记录。")
                       .arg(QDir::toNativeSeparators(path)));
            return false;
        }
        // SQLite gives the log and its index the database's own permissions.
        if (!existed) {
            const int fd = ::open(QFile::encodeName(FilePath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  S_IRUSR | S_IWUSR);
            if (fd >= 0) ::close(fd);
        }
        Db = QSqlDatabase::addDatabase("QSQLITE", ConnectionName);
        Db.setDatabaseName(FilePath);
        // Other windows and command lines write the same file: wait for them.
        Db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=5000");
        QSqlError error = Db.open() ? Prepare() : Db.lastError();
        if (Unusable) {
            Close();
            return false;
        }
        if (!error.isValid()) return true;
        const int code = SqliteCode(error);
        const bool damaged = code == kSqliteCorrupt || code == kSqliteNotADb || (code == kSqliteCantOpen && existed);
        if (damaged && attempt == 0) {
            SetAside();
            continue;
        }
        Close();
        Notice(QString::fromUtf8("发送记录无法打开（%1），这次的发送不会被记录。").arg(error.text()));
        return false;
    }
}

QSqlError THistory::Prepare() {
    QSqlQuery q(Db);
    const auto failed = [&] {
        const QSqlError error = q.lastError();
        QSqlQuery(Db).exec("ROLLBACK");
        return error;
    };
    // The window and the command lines read and write the file at once.
    if (!q.exec("PRAGMA journal_mode=WAL") || !q.exec("PRAGMA synchronous=NORMAL") || !q.exec("BEGIN IMMEDIATE") ||
        !q.exec("PRAGMA user_version") || !q.next())
        return failed();
    int version = q.value(0).toInt();
    if (version > kSchemaVersion) {
        QSqlQuery(Db).exec("ROLLBACK");
        Unusable = true;
        Notice(QString::fromUtf8("发送记录是由较新版本的程序建立的，本程序不写入它；这次的发送不会被记录。"));
        return {};
    }
    for (; version < kSchemaVersion; ++version)
        for (const char* statement : kMigrations[static_cast<std::size_t>(version)])
            if (!q.exec(statement)) return failed();
    if (!q.exec(QString("PRAGMA user_version = %1").arg(kSchemaVersion))) return failed();
    // The right version without its table (or its columns) fails every
    // write: as good as damaged.
    if (!q.exec(QString("SELECT %1 FROM sends LIMIT 0").arg(kColumns))) {
        const QSqlError error = failed();
        return QSqlError(error.driverText(), error.databaseText(), QSqlError::StatementError, QString::number(kSqliteCorrupt));
    }
    if (!q.exec("COMMIT")) return failed();
    return {};
}

void THistory::SetAside() {
    Close();
    QString target = FilePath + ".damaged-" + QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    for (int n = 2; ModeAt(target) != 0; ++n) target = target.section('~', 0, 0) + '~' + QString::number(n);
    if (!RenameToFreeName(FilePath, target)) return;
    // Its log must not meet the new file: moved with it, or else dropped.
    if (!RenameToFreeName(FilePath + "-wal", target + "-wal")) QFile::remove(FilePath + "-wal");
    QFile::remove(FilePath + "-shm");
    Notice(QString::fromUtf8("发送记录文件已损坏或无法读取，已移到 %1，并新建了一个发送记录。").arg(QDir::toNativeSeparators(target)));
}

bool THistory::Transaction(const std::function<bool(QSqlQuery&)>& Write) {
    for (int attempt = 0;; ++attempt) {
        if (!Open()) return false;
        QSqlError error;
        {
            QSqlQuery q(Db);
            // IMMEDIATE takes the write lock first, waiting out other writers,
            // instead of failing when a read turns into a write.
            if (q.exec("BEGIN IMMEDIATE")) {
                if (Write(q) && q.exec("COMMIT")) return true;
                error = q.lastError();
                QSqlQuery(Db).exec("ROLLBACK");
            } else {
                error = q.lastError();
            }
        }
        const int code = SqliteCode(error);
        if ((code == kSqliteCorrupt || code == kSqliteNotADb) && attempt == 0) {
            SetAside();
            continue;
        }
        Notice(QString::fromUtf8("发送记录无法写入（%1），这次的发送可能没有被记录。").arg(error.text()));
        return false;
    }
}

bool THistory::Add(TRecord& record) {
    qint64 id = 0;
    const bool written = Transaction([&](QSqlQuery& q) {
        q.prepare(QString("INSERT INTO sends (%1) VALUES (%2)").arg(kFieldList, Placeholders()));
        Bind(q, record);
        if (!q.exec()) return false;
        id = q.lastInsertId().toLongLong();
        // Ids grow by one per record and only the oldest are ever removed, so the
        // last Keep ids are the last Keep records: a range seek, where counting
        // rows back would read the whole table on every send.
        q.prepare("DELETE FROM sends WHERE id <= :last");
        q.bindValue(":last", id - std::max(Keep, 1));
        return q.exec();
    });
    if (written) record.Id = id;
    return written;
}

bool THistory::Update(TRecord& record) {
    if (record.Id == 0) return Add(record);
    bool found = true;
    const bool written = Transaction([&](QSqlQuery& q) {
        q.prepare(QString("UPDATE sends SET %1 WHERE id = :id").arg(Assignments()));
        Bind(q, record);
        q.bindValue(":id", record.Id);
        if (!q.exec()) return false;
        found = q.numRowsAffected() > 0;
        return true;
    });
    // Its database was set aside meanwhile (or it was pruned): the record starts again.
    if (written && !found) return Add(record);
    return written;
}

std::vector<TRecord> THistory::Latest(int Limit, qint64 BeforeId) {
    std::vector<TRecord> records;
    if (!Open()) return records;
    QSqlQuery q(Db);
    q.setForwardOnly(true);
    q.prepare(QString("SELECT %1 FROM sends %2 ORDER BY id DESC LIMIT :limit")
                  .arg(kColumns, BeforeId > 0 ? "WHERE id < :before" : ""));
    q.bindValue(":limit", Limit > 0 ? Limit : -1);
    if (BeforeId > 0) q.bindValue(":before", BeforeId);
    if (q.exec())
        while (q.next()) records.push_back(RecordOf(q));
    return records;
}

std::optional<TRecord> THistory::Find(qint64 Id) {
    if (!Open()) return std::nullopt;
    QSqlQuery q(Db);
    q.prepare(QString("SELECT %1 FROM sends WHERE id = :id").arg(kColumns));
    q.bindValue(":id", Id);
    if (q.exec() && q.next()) return RecordOf(q);
    return std::nullopt;
}

std::vector<TRecord> THistory::Between(const QDateTime& From, const QDateTime& To) {
    std::vector<TRecord> records;
    if (!Open()) return records;
    QSqlQuery q(Db);
    q.setForwardOnly(true);
    q.prepare(QString("SELECT %1 FROM sends WHERE started >= :from AND started <= :to ORDER BY started, id").arg(kColumns));
    q.bindValue(":from", TimeText(From));
    q.bindValue(":to", TimeText(To));
    if (q.exec())
        while (q.next()) records.push_back(RecordOf(q));
    return records;
}

bool THistory::ConfirmNumber(qint64 Id, TNumberConfirmation Confirmation) {
    bool found = false;
    const bool written = Transaction([&](QSqlQuery& q) {
        // Read and written in one transaction: two watches never lose a number's answer.
        q.prepare(QString("SELECT %1 FROM sends WHERE id = :id").arg(kColumns));
        q.bindValue(":id", Id);
        if (!q.exec()) return false;
        if (!q.next()) return true;
        found = true;
        TRecord r = RecordOf(q);
        q.finish();
        if (Confirmation.Number.isEmpty()) Confirmation.Number = r.Numbers().value(Confirmation.Index);
        std::erase_if(r.Confirmations, [&](const TNumberConfirmation& c) { return c.Index == Confirmation.Index; });
        r.Confirmations.push_back(Confirmation);
        std::sort(r.Confirmations.begin(), r.Confirmations.end(),
                  [](const TNumberConfirmation& a, const TNumberConfirmation& b) { return a.Index < b.Index; });
        const QString summary = SummaryOf(r.Confirmations, static_cast<int>(r.Numbers().size()));
        r.Unseen = IsProblem(Confirmation.Outcome) || (r.Unseen && IsProblem(summary));
        q.prepare("UPDATE sends SET confirmation = :c, confirmation_subject = :s, confirmation_time = :t,"
                  " confirmations = :list, unseen = :unseen WHERE id = :id");
        q.bindValue(":c", summary);
        q.bindValue(":s", NotNull(Confirmation.Subject));
        q.bindValue(":t", NotNull(TimeText(Confirmation.Time)));
        q.bindValue(":list", ConfirmationsText(r.Confirmations));
        q.bindValue(":unseen", r.Unseen ? 1 : 0);
        q.bindValue(":id", Id);
        return q.exec();
    });
    return written && found;
}

bool THistory::SetConfirmation(qint64 Id, const QString& Confirmation, const QString& Subject, const QDateTime& Time) {
    return ConfirmNumber(Id, {0, QString(), Confirmation, Subject, Time, QString(), -1});
}

bool THistory::MarkSeen(qint64 Id) {
    return Transaction([&](QSqlQuery& q) {
        q.prepare("UPDATE sends SET unseen = 0 WHERE id = :id");
        q.bindValue(":id", Id);
        return q.exec();
    });
}

qint64 THistory::CountUnseen() {
    if (!Open()) return 0;
    QSqlQuery q(Db);
    return q.exec("SELECT COUNT(*) FROM sends WHERE unseen = 1") && q.next() ? q.value(0).toLongLong() : 0;
}

qint64 THistory::Count() {
    if (!Open()) return 0;
    QSqlQuery q(Db);
    return q.exec("SELECT COUNT(*) FROM sends") && q.next() ? q.value(0).toLongLong() : 0;
}

}  // namespace history
