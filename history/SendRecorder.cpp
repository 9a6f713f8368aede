#include "history/SendRecorder.h"

#include "platform/CodePage.h"

#include <QFile>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <vector>

namespace history {
namespace {

QString FromGb(const std::string& text) { return QString::fromStdString(Win::Gb2312ToUtf8(text)); }

// An event handler put back as it was when the scope ends.
template <class T>
struct Keep {
    explicit Keep(T& field) : Field(field), Saved(field) {}
    ~Keep() { Field = Saved; }
    Keep(const Keep&) = delete;
    Keep& operator=(const Keep&) = delete;
    T& Field;
    const T Saved;
};

}  // namespace

// One SHA-256 in the making.
class TSendRecorder::TDigest {
public:
    TDigest() : Context(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!Context || EVP_DigestInit_ex(Context.get(), EVP_sha256(), nullptr) != 1) Context.reset();
    }
    void Add(const void* data, std::size_t count) {
        if (Context && EVP_DigestUpdate(Context.get(), data, count) != 1) Context.reset();
        Bytes += static_cast<qint64>(count);
    }
    // Lower-case hex, or empty when the digest failed.
    QString Hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!Context || EVP_DigestFinal_ex(Context.get(), digest, &length) != 1) return {};
        Context.reset();
        return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
    }
    qint64 Bytes = 0;

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> Context;
};

TFileEntry FileEntryOf(const rtl::TFilePath& Path) {
    TFileEntry entry{QFile::decodeName(QByteArray::fromStdString(Path.Bytes())), -1, {}, QByteArray::fromStdString(Path.Bytes())};
    // A regular file only, read to the size it had when opened: a FIFO or a
    // device would never end.
    std::unique_ptr<rtl::TFileStream> file;
    try {
        file = std::make_unique<rtl::TFileStream>(Path.Bytes());
    } catch (const rtl::Exception&) {
        return entry;
    }
    TSendRecorder::TDigest digest;
    std::vector<char> buffer(1 << 20);
    while (digest.Bytes < file->Size()) {
        const std::int64_t n = file->Read(buffer.data(), std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), file->Size() - digest.Bytes));
        if (n <= 0) return entry;
        digest.Add(buffer.data(), static_cast<std::size_t>(n));
    }
    entry.Sha256 = digest.Hex();
    if (!entry.Sha256.isEmpty()) entry.Size = digest.Bytes;
    return entry;
}

QString ProtectionName(mail::TSmtpSecurity Security) {
    switch (Security) {
        case mail::TSmtpSecurity::StartTls: return "starttls";
        case mail::TSmtpSecurity::ImplicitTls: return "tls";
        case mail::TSmtpSecurity::None: break;
    }
    return "none";
}

void TSendRecorder::Understood() {
    QStringList numbers, places, gateways;
    for (const auto& [reading, gateway] : Dispatch.PressReadings()) {
        numbers << QString::fromStdString(reading.Shown);
        places << QString::fromStdString(reading.PlaceUtf8);
        gateways << FromGb(gateway);
    }
    // Several numbers of one message: each field lists them in the same order.
    Record.Number = numbers.join(kListSeparator);
    Record.Place = places.join(kListSeparator);
    Record.Gateways = gateways;
}

void TSendRecorder::Save() {
    if (Store != nullptr) Store->Update(Record);
}

void TSendRecorder::Begin(const fax::TSendRequest& Request) {
    Record = TRecord();
    Record.FrontEnd = FrontEnd;
    Record.OutboxId = OutboxId;
    Record.Started = QDateTime::currentDateTimeUtc();
    QStringList typed{FromGb(Request.Number.Bytes())};
    for (const rtl::TGbText& more : Request.MoreNumbers) typed << FromGb(more.Bytes());
    Record.NumberTyped = typed.join(kListSeparator);
    Record.Server = FromGb(Request.Server.Bytes());
    Record.Port = Request.Port;
    Record.Protection = ProtectionName(Request.Security);
    Record.Sender = FromGb(Request.Email.Bytes());
    // Nothing is read here: the checks come first, and a file's digest is
    // taken from the bytes the send reads of it (see Send).
    for (const rtl::TFilePath& path : Request.Files)
        Record.Files.push_back({QFile::decodeName(QByteArray::fromStdString(path.Bytes())), rtl::RegularFileSize(path.Bytes()), {},
                                QByteArray::fromStdString(path.Bytes())});
}

std::string TSendRecorder::Check(const fax::TSendRequest& Request) {
    const bool idle = !Dispatch.Sending() && !Client.Busy();
    const std::string refusal = Dispatch.Check(Request);
    if (refusal.empty() || !idle) return refusal;
    Begin(Request);
    Understood();
    Record.Ended = Record.Started;
    Record.Outcome = TOutcome::Refused;
    Record.Failure = FromGb(refusal);
    Save();
    return refusal;
}

std::string TSendRecorder::Send(const fax::TSendRequest& Request) {
    // The running send keeps its record and its client's events.
    if (Dispatch.Sending() || Client.Busy()) return Dispatch.Send(Request);

    Begin(Request);
    Save();

    // The front end's own handlers run inside the recorder's and are back
    // when the send ends.
    const Keep keepStart(Client.OnSendStart);
    const Keep keepData(Client.OnEncodeData);
    const Keep keepEnd(Client.OnEncodeEnd);
    // The digest of each file from the bytes that went out, so a file is read
    // once, by the send, after the checks and no further than the size they saw.
    std::vector<TDigest> digests(Request.Files.size());
    Client.OnEncodeData = [&](std::size_t index, const std::uint8_t* data, std::size_t count) {
        if (index < digests.size()) digests[index].Add(data, count);
        if (keepData.Saved) keepData.Saved(index, data, count);
    };
    // The attachments are read in order: each end is the next one's.
    std::size_t encoded = 0;
    Client.OnEncodeEnd = [&](const std::string& entry) {
        ++encoded;
        if (keepEnd.Saved) keepEnd.Saved(entry);
    };
    // Composed and about to go out: from here on the fax may reach the gateway.
    Client.OnSendStart = [&](rtl::TObject* sender) {
        Understood();
        Record.MessageId = FromGb(Client.MessageId());
        Record.MessageSize = Client.MessageSize;
        Save();
        if (keepStart.Saved) keepStart.Saved(sender);
    };

    const auto finish = [&](TOutcome outcome, const QString& failure) {
        Record.Ended = QDateTime::currentDateTimeUtc();
        Record.Outcome = outcome;
        Record.Failure = failure;
        // A file the send read to its end has its digest and the size it had
        // then; one it never reached (a failure before the text) has none.
        for (std::size_t i = 0; i < encoded && i < Record.Files.size(); ++i) {
            Record.Files[i].Sha256 = digests[i].Hex();
            Record.Files[i].Size = digests[i].Bytes;
        }
        if (Record.Gateways.isEmpty()) Understood();
        Save();
    };
    // What the user is told of a failure, as the front end words it.
    const auto told = [&](const std::exception& e) { return FailureText ? FailureText(e) : FromGb(e.what()); };
    std::string refusal;
    try {
        refusal = Dispatch.Send(Request);
    } catch (const mail::EMaybeDelivered& e) {
        finish(TOutcome::MaybeSent, told(e));
        throw;
    } catch (const rtl::Exception& e) {
        finish(e.Kind == rtl::TErrorKind::Stopped ? TOutcome::Stopped : TOutcome::Failed, told(e));
        throw;
    } catch (const std::exception& e) {
        finish(TOutcome::Failed, told(e));
        throw;
    }
    if (!refusal.empty()) {
        finish(TOutcome::Refused, FromGb(refusal));
        return refusal;
    }
    Record.Reply = FromGb(Client.EndMarkReply);
    finish(TOutcome::Sent, QString());
    return refusal;
}

}  // namespace history
