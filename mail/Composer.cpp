#include "mail/Composer.h"

#include "mail/HeaderText.h"
#include "platform/CodePage.h"
#include "rtl/SysUtils.h"

#include <algorithm>

namespace mail {
namespace {

constexpr char kCrlf[] = "\r\n";
constexpr char kTextPlain[] = "Content-Type: text/plain;                        charset=";
constexpr std::size_t kParameterColumn = 49;  // where every parameter of the fixed lines starts

std::string Joined(const rtl::TStringList& list) {
    std::string text;
    for (int i = 0; i < list.Count(); ++i) {
        if (i > 0) text += ',';
        text += list[i];
    }
    return text;
}

// A line followed by CR LF, with a second "." in front when it starts with
// one, so that no line of the text reads as the end of the data.
void AppendStuffed(std::string& out, const std::string& line) {
    if (!line.empty() && line[0] == '.') out += '.';
    out += line;
    out += kCrlf;
}

void AppendBody(std::string& out, const rtl::TStringList& body) {
    for (const auto& entry : body) {
        if (entry.find_first_of("\r\n") == std::string::npos) {
            AppendStuffed(out, entry);
            continue;
        }
        // An entry holding line breaks is the lines it contains, each stuffed.
        rtl::TStringList lines;
        lines.SetText(entry);
        for (const auto& line : lines) AppendStuffed(out, line);
    }
}

// Each physical line of a folded header as an entry of its own.
void AddFolded(codec::TExStringList& header, const std::string& line) {
    std::size_t start = 0;
    for (std::size_t fold; (fold = line.find("\r\n ", start)) != std::string::npos; start = fold + 2)
        header.Add(line.substr(start, fold - start));
    header.Add(line.substr(start));
}

std::string TextPlain(const rtl::TStringList& body) {
    std::string text;
    for (const auto& entry : body) text += entry + '\n';
    return kTextPlain + CodePageCharset(text);
}

// The attachment name in the character set its parameters declare: the
// user's code page when every character has a place there, else UTF-8.
std::pair<std::string, std::string> MimeName(const std::string& name) {
    if (CodePageCharset(name) == "us-ascii") return {name, "us-ascii"};
    std::string converted;
    if (Win::FileNameToCharset(name, "CP936", converted)) return {converted, CodePageCharset(converted)};
    if (Win::FileNameToCharset(name, "UTF-8", converted)) return {converted, "UTF-8"};
    // Bytes that are no text in the file system's encoding: only their ASCII survives.
    for (char& c : converted = name)
        if (static_cast<unsigned char>(c) >= 0x80) c = '_';
    return {converted, "us-ascii"};
}

// The lines that open an attachment's part, for its name in the user's terms.
std::string PartHeader(const std::string& boundary, const std::string& entryName, bool uu) {
    const auto [name, charset] = MimeName(entryName);
    // uuencoded lines are labelled as what they are, not as base64.
    return "--" + boundary + kCrlf + "Content-Type: application/octet-stream;          " +
           NameParameter(name, charset, kParameterColumn) + kCrlf +
           "Content-Transfer-Encoding: " + (uu ? "x-uuencode" : "base64") + kCrlf +
           "Content-Disposition: attachment;                 " + FileNameParameter(name, charset, kParameterColumn) +
           kCrlf + kCrlf;
}

// Bytes that size bytes of a file become: 45 to a line of 60 characters and
// CR LF. A uuencoded line has its length character in front, the encoding an
// end line, and a last line of 14 bytes starts with "." and is stuffed.
std::int64_t EncodedSize(std::int64_t size, bool uu) {
    const std::int64_t full = size / 45, rest = size % 45;
    const std::int64_t last = rest == 0 ? 0 : (rest + 2) / 3 * 4 + 2;
    if (!uu) return full * 62 + last;
    return full * 63 + (rest == 0 ? 0 : last + 1) + 3 + 1;
}

[[noreturn]] void RefuseTooLarge(std::int64_t size) {
    throw rtl::Exception(rtl::FormatMessage(rtl::FormatMessage(kMsgTooLarge, rtl::IntToStr(size)), rtl::IntToStr(kMaxMessageText)),
                         rtl::TErrorKind::TooLarge);
}

}  // namespace

std::string TMessageComposer::AttachmentName(const std::string& Entry) {
    // Walk by characters of the user's code page: in a double-byte set the
    // second byte of a character may have the value of "\" and is no separator.
    std::size_t start = 0;
    for (std::size_t i = 0; i < Entry.size();) {
        const char c = Entry[i];
        if (c == '\\' || c == ':' || c == '/') start = i + 1;
        i += static_cast<std::size_t>(rtl::CharLengthAt(Entry, i));
    }
    return Entry.substr(start);
}

void TMessageComposer::Compose(const TPostMessage& Message, codec::TExStringList& FinalHeader,
                               rtl::TMemoryStream& MessageStream, std::string& Boundary) const {
    const TPostMessage& m = Message;
    const bool multipart = m.Attachments.Count() > 0;

    FinalHeader.Clear();
    AddFolded(FinalHeader, "From: " + FromValue(m.FromName, m.FromAddress));
    if (m.ToAddress.Count() > 0) FinalHeader.Add("To: " + Joined(m.ToAddress));
    if (m.ToCarbonCopy.Count() > 0) FinalHeader.Add("CC: " + Joined(m.ToCarbonCopy));
    if (!m.Subject.empty()) AddFolded(FinalHeader, "Subject: " + HeaderText(m.Subject, 9));
    FinalHeader.SetHeaderValue("X-Mailer", m.LocalProgram);
    FinalHeader.SetHeaderValue("Reply-To", m.ReplyTo);
    FinalHeader.SetHeaderValue("Date", m.Date);
    // A message that carries its date is one the program sends: it gets its id too.
    if (!m.Date.empty()) FinalHeader.Add("Message-ID: " + MessageId(Clock->UniqueId(), m.FromAddress));
    FinalHeader.Add("Mime-Version: 1.0");
    if (multipart) {
        // ASCII whatever the locale: a boundary is 7-bit by definition.
        const std::time_t now = Clock->Now();
        std::tm local{};
        localtime_r(&now, &local);
        Boundary = "====================54535" + TimeOfDay(local) + "====";
        FinalHeader.Add("Content-Type: multipart/mixed;                   boundary=\"" + Boundary + "\"");
    } else {
        FinalHeader.Add(TextPlain(m.Body));
    }

    MessageStream.Clear();
    std::string text;
    if (multipart) text = "--" + Boundary + kCrlf + TextPlain(m.Body) + kCrlf + kCrlf;
    AppendBody(text, m.Body);
    if (multipart) {
        // The sizes as they stand now; a file that cannot be opened counts
        // nothing here and is refused in its turn.
        const bool uu = EncodeType == codec::uuCode;
        std::int64_t total = static_cast<std::int64_t>(text.size()) + static_cast<std::int64_t>(Boundary.size()) + 6;
        for (const auto& entry : m.Attachments)
            total += static_cast<std::int64_t>(PartHeader(Boundary, AttachmentName(entry), uu).size()) +
                     EncodedSize(std::max<std::int64_t>(0, rtl::RegularFileSize(entry)), uu);
        if (total > kMaxMessageText) RefuseTooLarge(total);
    }
    MessageStream.WriteString(text);
    if (!multipart) return;
    for (int index = 1; index <= m.Attachments.Count(); ++index) WriteAttachment(m, index, Boundary, MessageStream);
    MessageStream.WriteString("--" + Boundary + "--" + kCrlf);
}

void TMessageComposer::WriteAttachment(const TPostMessage& Message, int Index, const std::string& Boundary,
                                       rtl::TMemoryStream& MessageStream) const {
    const std::string entry = Message.Attachments[Index - 1];
    const bool uu = EncodeType == codec::uuCode;
    MessageStream.WriteString(PartHeader(Boundary, AttachmentName(entry), uu));

    codec::TZelUUProcessor processor(EncoderOwner);
    processor.Method = EncodeType;
    if (OnProgress) processor.OnProgress = [this](rtl::TObject*) { OnProgress(); };
    std::unique_ptr<rtl::TFileStream> file;
    try {
        file = std::make_unique<rtl::TFileStream>(entry);
    } catch (const rtl::EFOpenError&) {
        if (OnAttachmentNotFound) OnAttachmentNotFound(entry);
        throw;
    }
    processor.InputStream = file.get();
    const std::int64_t composed = MessageStream.Size() + EncodedSize(file->Size(), uu);
    if (composed > kMaxMessageText) RefuseTooLarge(composed);
    if (OnEncodeStart) OnEncodeStart(entry);
    if (!uu) {
        // base64 lines never start with "." and go straight into the message:
        // no second copy of a large attachment is held.
        const std::int64_t start = MessageStream.Size();
        processor.OutputStream = &MessageStream;
        MessageStream.SetPosition(start);
        processor.Encode();
        MessageStream.Seek(0, rtl::TSeekOrigin::soEnd);
    } else {
        // A uuencoded line of 14 bytes starts with "." and must be stuffed like a body line.
        rtl::TMemoryStream encoded;
        processor.OutputStream = &encoded;
        processor.Encode();
        rtl::TStringList lines;
        lines.SetText(encoded.ToString());
        std::string stuffed;
        for (const auto& line : lines) AppendStuffed(stuffed, line);
        MessageStream.Seek(0, rtl::TSeekOrigin::soEnd);
        MessageStream.WriteString(stuffed);
    }
    if (OnEncodeEnd) OnEncodeEnd(entry);
}

}  // namespace mail
