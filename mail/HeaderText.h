// Header text as receiving systems read it: the Date and Message-ID values,
// encoded words for 8-bit text, the From line's display name and attachment
// name parameters. Pure functions over code-page bytes, apart from the
// system clock.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>

namespace mail {

// Where a message's date and unique id come from; tests put fixed ones in place.
class TMessageClock {
public:
    virtual ~TMessageClock() = default;
    // The current local time as a Date value.
    virtual std::string Date() const;
    // A left side for a Message-ID that no other message shares.
    virtual std::string UniqueId() const;
    // The instant Date and the boundary's time of day are taken from.
    virtual std::time_t Now() const;
};
const TMessageClock& SystemClock();

// "Tue, 08 Dec 2026 10:34:04 +0800": English names whatever the locale, and
// the zone as a signed offset.
std::string Rfc5322Date(const std::tm& Local, long UtcOffsetSeconds);
// "14:03:27": the local time of day with ASCII digits and ":", whatever the
// locale's time format (the MIME boundary carries it; C's format is this one).
std::string TimeOfDay(const std::tm& Local);
// Seconds east of UTC, from one instant broken down as local time and as UTC.
long UtcOffset(const std::tm& Local, const std::tm& Utc);
// "<Unique@domain>": the domain of FromAddress, or a fixed host name when it
// has none that a Message-ID can carry.
std::string MessageId(const std::string& Unique, const std::string& FromAddress);

// The MIME name of the character set that code-page text needs: "us-ascii",
// "GB2312", or "GBK" when a character lies outside GB2312.
std::string CodePageCharset(const std::string& Text);

// Folded lines are joined by CR LF and one blank; a line that holds an encoded
// word stays within this many characters.
inline constexpr std::size_t kEncodedLineLimit = 76;

// An unstructured header value (Subject) that follows Used characters of its
// line: plain ASCII as it is, anything else as encoded words in its code page.
std::string HeaderText(const std::string& Text, std::size_t Used);
// What follows "From: ": the display name as it is when it is atoms, quoted
// when it holds characters the address syntax reserves, as encoded words when
// it holds 8-bit bytes; then a blank and the address in angle brackets.
std::string FromValue(const std::string& Name, const std::string& Address);

// Attachment names, already in Charset (a MIME name: "us-ascii", "GB2312",
// "UTF-8", ...). Used is the column at which the parameter starts.
// name="..." for Content-Type: the name quoted, or encoded words.
std::string NameParameter(const std::string& Name, const std::string& Charset, std::size_t Used);
// filename="..." for Content-Disposition when the name needs no escape at
// all, else the extended filename*= form, continued over folded lines.
std::string FileNameParameter(const std::string& Name, const std::string& Charset, std::size_t Used);
// A name that stands in quotes as it is: printable ASCII without quote or
// backslash, and nothing a reader would decode as an encoded word ("=?").
bool IsPlainName(const std::string& Name);
// A name holding "=?": quoted as it is, receivers would decode it (a file
// named "=?UTF-8?B?Li4vZXZpbC5leGU=?=" would arrive as "../evil.exe"), so it
// is itself encoded and arrives literally.
bool LooksEncoded(const std::string& Name);

}  // namespace mail
