// The outbox: faxes waiting to go, each with its send request (never the
// password), a private copy of its documents, its due time, tries and last
// failure, in an SQLite database beside the history. Taking a fax is a claim
// in one IMMEDIATE transaction, so two flushes at once never send it twice.
#pragma once

#include "fax/SendRequest.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <exception>
#include <functional>
#include <optional>
#include <vector>

namespace outbox {

enum class TState {
    Queued,     // waiting for its due time
    Sending,    // claimed by a running process
    Failed,     // refused, given up or its copy damaged: kept until deleted or sent again
    MaybeSent,  // its end mark went out without a reply: never sent again by itself
};

// Stable names: the database and the command line's JSON carry them.
QString StateName(TState state);

// A failure that may go to the outbox: nothing went out and nothing the user
// must fix caused it (no connection, a lookup, a time-out, a close before the
// end mark, a 4xx reply that is no login's or TLS's). The end mark sent
// without its reply is never one.
bool SafeToRetry(const std::exception& failure);

// The wait before the next try after Tries tries: 1, 5, 15, 30 minutes, then hourly.
int RetryDelayMinutes(int Tries);

struct TCopy {
    QByteArray Original;  // the path the user gave, its own bytes
    QByteArray Path;      // the private copy, which is what goes out
    QString Sha256;       // of the copy when it was made
    qint64 Size = 0;
};

struct TEntry {
    qint64 Id = 0;
    TState State = TState::Queued;
    QString FrontEnd;
    QDateTime Created, Due, GiveUp;
    int Tries = 0;
    QString LastFailure;
    QString Numbers;  // as typed, "; " between them
    std::vector<TCopy> Files;
    // Without the password; its files are the copies.
    fax::TSendRequest Request;
};

class TOutbox {
public:
    // The database at Path, the copies in Folder; nothing is opened until the first use.
    explicit TOutbox(QString Path = DefaultPath(), QString Folder = DefaultFolder());
    ~TOutbox();
    TOutbox(const TOutbox&) = delete;
    TOutbox& operator=(const TOutbox&) = delete;

    // AppDataLocation/outbox.sqlite and AppDataLocation/outbox/.
    static QString DefaultPath();
    static QString DefaultFolder();

    // Hours from the first due time after which a fax that keeps failing is given up.
    int GiveUpHours = 24;
    // The clock; tests move it.
    std::function<QDateTime()> Now = [] { return QDateTime::currentDateTimeUtc(); };
    // A fax given up: the user must be told, as for a failed answer.
    std::function<void(const TEntry&)> OnGivenUp;

    // Queues the request (its password dropped) due at Due, with copies of its
    // files, after Tries tries that ended with LastFailure; the new id, or 0
    // with Error saying why (in Chinese).
    qint64 Add(const fax::TSendRequest& Request, const QString& FrontEnd, const QDateTime& Due, int Tries,
               const QString& LastFailure, QString& Error);
    // Every fax, oldest first.
    std::vector<TEntry> List();
    std::optional<TEntry> Find(qint64 Id);
    // How many wait to be sent (queued or sending).
    int Waiting();

    // Takes one fax to send and marks it sending for this process: with Id 0
    // the next one due, else that one if queued or failed (send it now).
    // First, faxes left sending by a process that is gone are due again, or
    // maybe sent when their end mark had gone out; faxes past their give-up
    // time are failed and told. A copy that no longer matches its digest
    // fails its fax. nullopt: nothing to take.
    std::optional<TEntry> Claim(qint64 Id = 0);
    // Called before the end mark goes out: from then on never sent again.
    void EndMarkGoing(qint64 Id);
    // The fax has gone: the entry and its copies are removed.
    void Sent(qint64 Id);
    // A try failed: due again after the back-off when Retry, unless past the
    // give-up time (then failed and told); else failed.
    void Failed(qint64 Id, const QString& Failure, bool Retry);
    void MaybeSent(qint64 Id, const QString& Failure);
    // Removes a fax and its copies; false when there is none or a live process is sending it.
    bool Delete(qint64 Id);

    // Closes the file until the next use.
    void Release() { Close(); }
    // Why the last operation could not use the database ("" when it could).
    const QString& Problem() const { return LastProblem; }

private:
    bool Open();
    void Close();
    bool Transaction(const std::function<bool(QSqlQuery&)>& Write);
    void RemoveCopies(qint64 Id);
    void GiveUp(TEntry entry, const QString& Failure);

    QString FilePath, CopyFolder, ConnectionName, LastProblem;
    QSqlDatabase Db;
};

}  // namespace outbox
