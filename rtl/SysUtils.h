// Runtime pieces the components rely on: the exception hierarchy with its
// fixed texts, integer conversion, range-checked narrowing and the user's
// long time format.
#pragma once

#include <cstdint>
#include <ctime>
#include <exception>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

namespace rtl {

// What ended an operation. Code that must tell failures apart decides by the
// kind; the message text is for the user and may change without notice.
enum class TErrorKind {
    Other,
    TimedOut,      // a time-out or reply time limit ran out
    Stopped,       // the user (or the program) cancelled the wait
    ClosedByPeer,  // the connection went away under the operation
    Refused,       // the server answered with a refusal; the text is its reply
    LookupFailed,  // the server name did not resolve
    Busy,          // a second operation while one is under way
    Tls,           // the TLS handshake or the server's certificate failed; the text says why
    Protocol,      // the peer broke the protocol: a malformed, overlong or unasked-for reply
    TooLarge,      // the data would not fit the limits of the transfer
    OutOfMemory,   // an allocation failed
    Invalid,       // an input the operation cannot use as it stands
    // Finer causes, so that each front end can say which setting to change.
    ConnectionRefused,   // nothing accepts connections on the server's port
    Unreachable,         // no route to the server, or its connect timed out
    ServerSpeaksTls,     // a plain connection to a port that speaks TLS from the first byte
    TlsUntrusted,        // the certificate comes from an authority not trusted here
    TlsNameMismatch,     // the certificate names another server
    TlsNotTls,           // the server answered the handshake in plain text
    StartTlsRefused,     // the server refused STARTTLS
    LoginRefused,        // 535: name or password not accepted
    LoginUnavailable,    // 454: the login cannot be checked now
    MechanismTooWeak,    // 534: the server wants a stronger login method
    EncryptionRequired,  // 530: the server wants TLS before this command
    LoginRequired,       // 530 without a login: the server wants one
    SenderRefused,       // MAIL FROM refused; the text is the reply
    RecipientRefused,    // RCPT TO refused; the text is the reply, Subject the recipient
};

// A TLS failure of any reason.
inline bool IsTlsKind(TErrorKind kind) {
    return kind == TErrorKind::Tls || kind == TErrorKind::TlsUntrusted || kind == TErrorKind::TlsNameMismatch ||
           kind == TErrorKind::TlsNotTls;
}

// Root of every exception the program raises: a message text and its kind.
class Exception : public std::exception {
public:
    explicit Exception(std::string message, TErrorKind kind = TErrorKind::Other)
        : Message(std::move(message)), Kind(kind) {}
    const char* what() const noexcept override { return Message.c_str(); }
    std::string Message;
    TErrorKind Kind;
    // What the kind's explanation names besides the message: the recipient
    // refused, or the message's size and the server's limit in bytes.
    std::string Subject;
    std::int64_t Size = 0;
    std::int64_t Limit = 0;
};

// "'%s' is not a valid integer value"
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// "Range check error"
class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
};

// Stream failures.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// "Cannot open file %s"
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// A read that delivered fewer bytes than the stream claimed to hold.
class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("Stream read error") {}
};

class EStringListError : public Exception {
public:
    using Exception::Exception;
};

// The silent exception: ends an operation without a message box.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
};

// Raises the silent exception.
[[noreturn]] void Abort();

// Substitutes the single %s in a fixed message text.
std::string FormatMessage(const std::string& pattern, const std::string& arg);

// A text to quote in a message: the text itself when short, otherwise its
// first whole characters (GB2312) followed by an ellipsis, so that a message
// never carries a pasted document.
std::string QuotedHead(const std::string& text);

// Decimal text to a 32-bit signed integer. Accepts optional leading blanks,
// one optional sign and at least one decimal digit, nothing after the digits.
// Anything else, or a value outside 32 bits, raises EConvertError naming the
// whole text.
std::int32_t StrToInt(const std::string& text);
bool TryStrToInt(const std::string& text, std::int32_t& value);
std::string IntToStr(std::int64_t value);

// Stores a value into a narrower field; raises ERangeError when it does not fit.
template <typename To, typename From>
To RangeChecked(From value) {
    static_assert(std::is_integral_v<To> && std::is_integral_v<From>);
    if (!std::in_range<To>(value)) throw ERangeError();
    return static_cast<To>(value);
}

// The size of a regular file, -1 for a path that names none (missing,
// unreadable, a directory, FIFO or device). Opens nothing, never blocks.
std::int64_t RegularFileSize(const std::string& path);
// Something of any kind is at the path (a dangling link counts).
bool PathExists(const std::string& path);

// The time of day in the user's long time format (the locale's T_FMT).
std::string FormatLongTime(const std::tm& local);
std::string LongTimeNow();

// Bytes of the character that starts at text[pos] in the user's character set
// (the locale's): 2 for a double-byte character in GBK, 1 for ASCII or a byte
// that starts no valid character.
int CharLengthAt(const std::string& text, std::size_t pos);

// Case mapping of ASCII letters only, whatever the locale: for protocol words,
// header names and host names (a Turkish "i" must not become a dotted capital).
std::string UpperCase(std::string text);
std::string LowerCase(std::string text);
bool SameText(const std::string& a, const std::string& b);

// Locale-aware case-insensitive comparison of 8-bit texts: <0, 0 or >0.
int AnsiCompareText(const std::string& a, const std::string& b);

}  // namespace rtl
