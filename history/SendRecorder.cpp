#include "history/SendRecorder.h"

#include "platform/CodePage.h"

#include <QFile>

#include <openssl/evp.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <vector>

namespace history {
namespace {

QString FromGb(const std::string& text) { return QString::fromStdString(Win::Gb2312ToUtf8(text)); }

}  // namespace

TFileEntry FileEntryOf(const rtl::TFilePath& Path) {
    TFileEntry entry{QFile::decodeName(QByteArray::fromStdString(Path.Bytes())), -1, {}, QByteArray::fromStdString(Path.Bytes())};
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(Path.Bytes().c_str(), "rb"), &std::fclose);
    if (!file) return entry;
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return entry;
    std::vector<char> buffer(1 << 20);
    qint64 size = 0;
    for (;;) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (n == 0) {
            if (std::ferror(file.get())) return entry;
            break;
        }
        EVP_DigestUpdate(context.get(), buffer.data(), n);
        size += static_cast<qint64>(n);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return entry;
    entry.Size = size;
    entry.Sha256 = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), length).toHex());
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
    Record.Started = QDateTime::currentDateTimeUtc();
    QStringList typed{FromGb(Request.Number.Bytes())};
    for (const rtl::TGbText& more : Request.MoreNumbers) typed << FromGb(more.Bytes());
    Record.NumberTyped = typed.join(kListSeparator);
    Record.Server = FromGb(Request.Server.Bytes());
    Record.Port = Request.Port;
    Record.Protection = ProtectionName(Request.Security);
    Record.Sender = FromGb(Request.Email.Bytes());
    for (const rtl::TFilePath& path : Request.Files) Record.Files.push_back(FileEntryOf(path));
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

    // Composed and about to go out: from here on the fax may reach the gateway.
    const rtl::TNotifyEvent previous = Client.OnSendStart;
    struct Restore {
        mail::TZelSMTP& Client;
        const rtl::TNotifyEvent& Previous;
        ~Restore() { Client.OnSendStart = Previous; }
    } restore{Client, previous};
    Client.OnSendStart = [&](rtl::TObject* sender) {
        Understood();
        Record.MessageId = FromGb(Client.MessageId());
        Record.MessageSize = Client.MessageSize;
        Save();
        if (previous) previous(sender);
    };

    const auto finish = [&](TOutcome outcome, const QString& failure) {
        Record.Ended = QDateTime::currentDateTimeUtc();
        Record.Outcome = outcome;
        Record.Failure = failure;
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
