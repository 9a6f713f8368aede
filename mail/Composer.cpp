#include "mail/Composer.h"

#include "mail/AttachmentType.h"
#include "mail/HeaderText.h"
#include "platform/CodePage.h"
#include "platform/LocaleText.h"
#include "platform/MediaType.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <vector>

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
    const rtl::TUtf8Text text = Win::FileNameText(rtl::TFilePath(name));
    if (CodePageCharset(text.Bytes()) == "us-ascii") return {text.Bytes(), "us-ascii"};
    rtl::TGbText gb;
    if (Win::Utf8ToGbExactly(text, gb)) return {gb.Bytes(), CodePageCharset(gb.Bytes())};
    return {text.Bytes(), "UTF-8"};
}

// "Content-Type: TYPE;" and its name parameter, at the column of the other
// fixed lines or, after a type too long for it, on a folded line.
std::string ContentTypeLine(const std::string& type, const std::string& name, const std::string& charset) {
    const std::string lead = "Content-Type: " + type + ";";
    if (lead.size() < kParameterColumn)
        return lead + std::string(kParameterColumn - lead.size(), ' ') + NameParameter(name, charset, kParameterColumn);
    return lead + "\r\n " + NameParameter(name, charset, 1);
}

// The lines that open an attachment's part, for its name in the user's terms.
std::string PartHeader(const std::string& boundary, const std::string& entry, const std::string& entryName, bool uu) {
    const auto [name, charset] = MimeName(entryName);
    const std::string type = AttachmentType(Win::MediaTypeOf(rtl::TFilePath(entry)), entryName);
    // uuencoded lines are labelled as what they are, not as base64.
    return "--" + boundary + kCrlf + ContentTypeLine(type, name, charset) + kCrlf +
           "Content-Transfer-Encoding: " + (uu ? "x-uuencode" : "base64") + kCrlf +
           "Content-Disposition: attachment;                 " + FileNameParameter(name, charset, kParameterColumn) +
           kCrlf + kCrlf;
}

// Bytes that size bytes of a file become: 45 to a line of 60 characters and
// CR LF. A uuencoded line has its length character in front and no padding,
// a last line of 14 bytes starts with "." and is stuffed, and the encoding
// ends with an end line.
std::int64_t EncodedSize(std::int64_t size, bool uu) {
    const std::int64_t full = size / 45, rest = size % 45;
    if (!uu) return full * 62 + (rest == 0 ? 0 : (rest + 2) / 3 * 4 + 2);
    const std::int64_t last = rest == 0 ? 0 : 1 + rest / 3 * 4 + (rest % 3 == 0 ? 0 : rest % 3 + 1) + 2 + (rest == 14);
    return full * 63 + last + 3;
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

std::unique_ptr<TMessageSource> TMessageComposer::Open(const TPostMessage& Message, codec::TExStringList& FinalHeader,
                                                      std::string& Boundary) const {
    const TPostMessage& m = Message;
    const bool multipart = m.Attachments.Count() > 0;

    FinalHeader.Clear();
    AddFolded(FinalHeader, "From: " + FromValue(m.FromName, m.FromAddress));
    if (m.ToAddress.Count() > 0) FinalHeader.Add("To: " + Joined(m.ToAddress));
    if (m.ToCarbonCopy.Count() > 0) FinalHeader.Add("CC: " + Joined(m.ToCarbonCopy));
    // Receivers take a message without To for spam; the group names no one,
    // so the blind copies stay hidden.
    if (m.ToAddress.Count() == 0 && m.ToCarbonCopy.Count() == 0 && m.ToBlindCarbonCopy.Count() > 0)
        FinalHeader.Add("To: undisclosed-recipients:;");
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

    std::unique_ptr<TMessageSource> source(new TMessageSource);
    std::string text;
    if (multipart) text = "--" + Boundary + kCrlf + TextPlain(m.Body) + kCrlf + kCrlf;
    AppendBody(text, m.Body);
    source->Parts.push_back({std::move(text), false, {}, nullptr, 0});
    if (!multipart) {
        source->FSize = static_cast<std::int64_t>(source->Parts[0].Lead.size());
        return source;
    }
    const bool uu = EncodeType == codec::uuCode;
    std::size_t index = 0;
    for (const auto& entry : m.Attachments)
        source->Parts.push_back({PartHeader(Boundary, entry, AttachmentName(entry), uu), true, entry, nullptr, index++});
    source->Parts.push_back({"--" + Boundary + "--" + kCrlf, false, {}, nullptr, 0});
    const auto total = [&](const auto& fileSize) {
        std::int64_t sum = 0;
        for (const auto& part : source->Parts)
            sum += static_cast<std::int64_t>(part.Lead.size()) + (part.Attached ? EncodedSize(fileSize(part), uu) : 0);
        return sum;
    };
    // The sizes as they stand now; a file that cannot be opened counts
    // nothing here and is refused when it is opened.
    const std::int64_t expected =
        total([](const TMessageSource::TPart& part) { return std::max<std::int64_t>(0, rtl::RegularFileSize(part.Entry)); });
    if (expected > kMaxMessageText) RefuseTooLarge(expected);
    for (auto& part : source->Parts) {
        if (!part.Attached) continue;
        try {
            part.File = std::make_unique<rtl::TFileStream>(part.Entry);
        } catch (const rtl::EFOpenError&) {
            if (OnAttachmentNotFound) OnAttachmentNotFound(part.Entry);
            // The message is code-page text; the path is the file system's bytes.
            const rtl::TUtf8Text name = Win::FileNameText(rtl::TFilePath(part.Entry));
            throw rtl::EFOpenError(rtl::FormatMessage("Cannot open file %s", Win::Utf8ToGb2312(name.Bytes())));
        }
    }
    source->FSize = total([](const TMessageSource::TPart& part) { return part.File->Size(); });
    if (source->FSize > kMaxMessageText) RefuseTooLarge(source->FSize);
    source->Encoder = std::make_unique<codec::TZelUUProcessor>(EncoderOwner);
    source->Encoder->Method = EncodeType;
    source->OnEncodeStart = OnEncodeStart;
    source->OnEncodeEnd = OnEncodeEnd;
    source->OnEncodeData = OnEncodeData;
    return source;
}

void TMessageComposer::Compose(const TPostMessage& Message, codec::TExStringList& Header, rtl::TMemoryStream& Text,
                               std::string& Boundary) const {
    Text.Clear();
    const std::unique_ptr<TMessageSource> source = Open(Message, Header, Boundary);
    Text.Reserve(source->Size());
    std::vector<char> piece(std::size_t{1} << 16);
    for (std::int64_t n; (n = source->Read(piece.data(), static_cast<std::int64_t>(piece.size()))) > 0;) {
        Text.WriteBuffer(piece.data(), n);
        if (OnProgress) OnProgress();
    }
}

}  // namespace mail
