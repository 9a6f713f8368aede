// The catalogue of the texts this program writes for people: every
// explanation of a failure, the status texts of a send and of a connection
// test, and the command line's own lines. UTF-8, keyed by TMsg, so the texts
// can be read and corrected in one place. Lower layers raise a kind and its
// values; the front ends pick the text here and fill it in. The design's own
// texts stay where the design puts them.
#pragma once

#include <QString>
#include <QStringList>

namespace app {

enum class TMsg {
    // Failures: %1 the server, %2 its port, %3 the setting to change.
    LookupFailed,
    ConnectionRefused,
    Unreachable,
    TimedOut,
    ClosedByPeer,
    ServerSpeaksTls,
    TlsUntrusted,
    TlsNameMismatch,
    TlsNotTls,
    TlsFailed,
    StartTlsRefused,
    LoginRefused,
    LoginUnavailable,
    MechanismTooWeak,
    EncryptionRequired,
    LoginRequired,
    SenderRefused,
    RecipientRefused,      // %4 the number
    TooLargeForServer,     // %4 the message's size, %5 the server's limit, in MB
    TooLarge,
    RefusedTemporarily,
    RefusedPermanently,
    NotSmtp,
    TemporaryHint,
    PermanentHint,
    Stopped,
    TimeLimitReached,  // %1 seconds
    // The settings a failure names: the window's label, then the option.
    SettingServer,
    SettingPort,
    SettingSecurity,
    SettingLogin,
    SettingTrustFile,
    SettingGateway,
    SettingFrom,
    // Status while a send runs: %1 the server, %2 its port.
    StatusConnecting,
    StatusStartingTls,
    StatusLoggingIn,
    StatusSending,
    StatusStillWaiting,  // %3 the seconds it waits at most
    // The connection test.
    CheckConnected,       // %1 %2
    CheckTls,             // %1 the protection
    CheckCertificate,
    CheckLogin,           // %1 the login name
    CheckNoLogin,
    CheckSize,            // %1 MB
    CheckNoSize,
    CheckAuth,            // %1 the methods
    CheckPassed,
    CheckTrying,          // %1 port, %2 protection
    CheckProposal,        // %1 port, %2 protection
    CheckNoAlternative,
    CheckTimeLimitReached,  // %1 seconds
    CheckConfirm,         // %1 port, %2 protection
    CheckButton,
    CheckCaption,
    // The number as understood, beside the number field: %1 the number and its place.
    NumberCovered,
    NumberNotCovered,
    NumberGateway,      // %1 the gateway address
    NoSuchHomeCountry,  // %1 what was typed as the home country
    // The program without a display.
    NoDisplay,
};

// The catalogue's text; placeholders %1, %2, ... as noted above.
QString Msg(TMsg id);
// The text with %1 ... %9 replaced by the values in order; a placeholder
// without a value stays empty, a value without a placeholder is left out.
QString Msg(TMsg id, const QStringList& values);

}  // namespace app
