// The send history: one record per send attempt, from the window or the
// command line, in an SQLite database at the user's data location. Writing it
// never stops a send: a database that cannot be used is reported in a notice
// and the send goes on without it.
#pragma once

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace history {

// How an attempt ended. The names (OutcomeName) are stable: the database and
// the command line's JSON carry them.
enum class TOutcome {
    Unfinished,  // started, never completed: the program ended in the middle
    Sent,
    Refused,     // refused before connecting (a field, the number, the coverage)
    Failed,
    Stopped,     // stopped by the user before the end of the message went out
    MaybeSent,   // the end of the message went out, its reply never came
};

QString OutcomeName(TOutcome outcome);
TOutcome OutcomeFromName(const QString& name);  // unknown: Unfinished

struct TFileEntry {
    QString Path;  // as given to the send, decoded for display
    qint64 Size = -1;  // -1: could not be read
    QString Sha256;    // lower-case hex; empty: could not be read
    // The path's own bytes, which open the file again: a name that is not
    // valid in the locale's encoding decodes with replacement characters.
    QByteArray PathBytes = {};
    QString Name() const;
    // PathBytes, or for a record without them the encoded Path.
    QByteArray Bytes() const;
};

// What came (or did not) for one number of a fax: the confirmation watch's
// outcome name (delivered, failed, answered, unverified, delayed,
// unanswered), the answer's subject and time, a bounce's reason, the pages.
struct TNumberConfirmation {
    int Index = 0;   // which of the record's numbers
    QString Number;  // as understood
    QString Outcome;
    QString Subject;
    QDateTime Time;
    QString Reason;
    int Pages = -1;  // -1: not said
};

// The record's summary of its numbers' outcomes: failed when one failed,
// delivered when all were, unanswered when one stayed silent, the outcome
// they all share, else answered; empty while none has any.
QString SummaryOf(const std::vector<TNumberConfirmation>& Confirmations, int Numbers);
// Failed or unanswered: the user is to be told.
bool IsProblem(const QString& Outcome);

struct TRecord {
    qint64 Id = 0;  // 0: not stored
    QString FrontEnd;  // kWindow or kCommandLine
    QDateTime Started;
    QDateTime Ended;  // invalid while unfinished
    QString NumberTyped;
    QString Number;  // as understood: the full number the gateway address holds
    QString Place;   // where the number rings; empty while unknown
    QStringList Gateways;
    QString Server;
    int Port = 0;
    QString Protection;  // none, starttls, tls
    QString Sender;
    std::vector<TFileEntry> Files;
    qint64 MessageSize = -1;  // -1: not composed
    QString MessageId;        // with its angle brackets, as in the header
    TOutcome Outcome = TOutcome::Unfinished;
    QString Failure;  // what the user was told
    QString Reply;    // the server's reply to the end of the message
    // Filled by the confirmation watch; empty until a confirmation is matched.
    // Confirmation is the summary (SummaryOf), its subject and time the
    // latest number's.
    QString Confirmation;
    QString ConfirmationSubject;
    QDateTime ConfirmationTime;
    std::vector<TNumberConfirmation> Confirmations;  // one per number that has one, by Index
    bool Unseen = false;  // failed or unanswered, and not yet looked at on the history page

    // The numbers as understood (as typed when never understood).
    QStringList Numbers() const;
    // The outbox entry this try sent from; 0: none.
    qint64 OutboxId = 0;

    // The server's queue id, when its reply names one ("queued as X", "id=X").
    QString QueueId() const;
};

// Between the numbers of a message sent to several (NumberTyped, Number, Place).
inline constexpr char kListSeparator[] = "; ";

inline constexpr char kWindow[] = "window";
inline constexpr char kCommandLine[] = "command line";

class THistory {
public:
    // The file at Path; nothing is opened until the first use.
    explicit THistory(QString Path = DefaultPath());
    ~THistory();
    THistory(const THistory&) = delete;
    THistory& operator=(const THistory&) = delete;

    // AppDataLocation/history.sqlite.
    static QString DefaultPath();
    const QString& Path() const { return FilePath; }

    // How many records are kept: each Add removes the oldest beyond it.
    int Keep = 10000;
    // Told, in Chinese, when the database was set aside or cannot be written.
    std::function<void(const QString&)> OnNotice;

    // Stores a new record and sets its Id; false when nothing could be written.
    bool Add(TRecord& record);
    // Rewrites the stored record (stored anew, with a new Id, if its database
    // was set aside meanwhile); false when nothing could be written.
    bool Update(TRecord& record);
    // Newest first: at most Limit records (0: all) older than BeforeId (0: from the newest).
    std::vector<TRecord> Latest(int Limit, qint64 BeforeId = 0);
    std::optional<TRecord> Find(qint64 Id);
    // The records whose send started within [From, To], oldest first.
    std::vector<TRecord> Between(const QDateTime& From, const QDateTime& To);
    // Puts one number's confirmation on a record, replacing that number's
    // earlier one, and sets the summary; a failed or unanswered one makes the
    // record unseen. False when there is no such record.
    bool ConfirmNumber(qint64 Id, TNumberConfirmation Confirmation);
    // The first number's confirmation.
    bool SetConfirmation(qint64 Id, const QString& Confirmation, const QString& Subject, const QDateTime& Time);
    // The user looked at the record.
    bool MarkSeen(qint64 Id);
    // How many records are unseen.
    qint64 CountUnseen();
    // How many records there are.
    qint64 Count();
    // Closes the file until the next use: a window keeps no descriptors
    // between sends, and the last one out folds the write-ahead log back in.
    void Release() { Close(); }

    // The schema version this program writes.
    static constexpr int kSchemaVersion = 3;

private:
    bool Open();
    // WAL, then the schema brought to this program's version; the error, if any.
    QSqlError Prepare();
    void Close();
    void SetAside();
    // Runs Write (its statements through the one query given) in one IMMEDIATE transaction; a damaged database is set
    // aside and Write runs once more on a new one.
    bool Transaction(const std::function<bool(QSqlQuery&)>& Write);
    void Notice(const QString& text);

    QString FilePath;
    QString ConnectionName;
    QSqlDatabase Db;
    bool Unusable = false;  // told once; nothing more is tried in this run
};

}  // namespace history
