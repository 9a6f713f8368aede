// TZelSMTP's protected opening: the TLS handshake (from the start or after
// STARTTLS), EHLO, and the login. Nothing here runs with the default
// settings (no protection, no login), which keep the HELO dialogue.
#include "mail/Zelsmtp.h"

#include "mail/ReplyError.h"
#include "platform/CodePage.h"
#include "rtl/SysUtils.h"

#include <algorithm>

namespace mail {
namespace {

// Texts (GB2312).
// "服务器 " (server )
constexpr const char* kServer = "\xb7\xfe\xce\xf1\xc6\xf7 ";
// " 没有提供 STARTTLS 加密，为保护密码和邮件，连接已断开，未发送任何内容"
// (offers no STARTTLS; to protect the password and the mail the connection was closed, nothing was sent)
constexpr const char* kNoStartTls =
    " \xc3\xbb\xd3\xd0\xcc\xe1\xb9\xa9 STARTTLS \xbc\xd3\xc3\xdc\xa3\xac\xce\xaa\xb1\xa3\xbb\xa4\xc3\xdc\xc2\xeb\xba\xcd"
    "\xd3\xca\xbc\xfe\xa3\xac\xc1\xac\xbd\xd3\xd2\xd1\xb6\xcf\xbf\xaa\xa3\xac\xce\xb4\xb7\xa2\xcb\xcd\xc8\xce\xba\xce"
    "\xc4\xda\xc8\xdd";
// "登录必须使用加密连接：请选择 STARTTLS 或 SSL/TLS 加密"
// (a login needs an encrypted connection: choose STARTTLS or SSL/TLS)
constexpr const char* kLoginNeedsTls =
    "\xb5\xc7\xc2\xbc\xb1\xd8\xd0\xeb\xca\xb9\xd3\xc3\xbc\xd3\xc3\xdc\xc1\xac\xbd\xd3\xa3\xba\xc7\xeb\xd1\xa1\xd4\xf1"
    " STARTTLS \xbb\xf2 SSL/TLS \xbc\xd3\xc3\xdc";
// " 拒绝了登录，请检查用户名和密码" (refused the login: check the user name and the password)
constexpr const char* kLoginRefused =
    " \xbe\xdc\xbe\xf8\xc1\xcb\xb5\xc7\xc2\xbc\xa3\xac\xc7\xeb\xbc\xec\xb2\xe9\xd3\xc3\xbb\xa7\xc3\xfb\xba\xcd\xc3\xdc"
    "\xc2\xeb";
// " 要求登录，请设置用户名和密码" (requires a login: set a user name and a password)
constexpr const char* kLoginRequired =
    " \xd2\xaa\xc7\xf3\xb5\xc7\xc2\xbc\xa3\xac\xc7\xeb\xc9\xe8\xd6\xc3\xd3\xc3\xbb\xa7\xc3\xfb\xba\xcd\xc3\xdc\xc2\xeb";
// "登录名和密码太长：SMTP登录命令最多只能有12288个字节，没有发送"
// (login name and password too long: an SMTP login line holds at most 12288 octets; nothing was sent)
constexpr const char* kLoginTooLong =
    "\xb5\xc7\xc2\xbc\xc3\xfb\xba\xcd\xc3\xdc\xc2\xeb\xcc\xab\xb3\xa4\xa3\xbaSMTP\xb5\xc7\xc2\xbc\xc3"
    "\xfc\xc1\xee\xd7\xee\xb6\xe0\xd6\xbb\xc4\xdc\xd3\xd0" "12288\xb8\xf6\xd7\xd6\xbd\xda\xa3\xac\xc3"
    "\xbb\xd3\xd0\xb7\xa2\xcb\xcd";
// " 不支持 PLAIN 或 LOGIN 登录方式" (supports neither the PLAIN nor the LOGIN method)
constexpr const char* kNoLoginMethod = " \xb2\xbb\xd6\xa7\xb3\xd6 PLAIN \xbb\xf2 LOGIN \xb5\xc7\xc2\xbc\xb7\xbd\xca\xbd";

// The words of an EHLO reply's keyword lines (all but the first line), upper case:
// {"STARTTLS"}, {"AUTH", "LOGIN", "PLAIN"}, ...
std::vector<std::vector<std::string>> Keywords(const std::vector<std::string>& Lines) {
    std::vector<std::vector<std::string>> keywords;
    for (std::size_t i = 1; i < Lines.size(); ++i) {
        std::vector<std::string> words;
        std::string word;
        for (const char c : Lines[i].substr(std::min<std::size_t>(4, Lines[i].size())) + " ") {
            if (c == ' ' || c == '\r' || c == '\n') {
                if (!word.empty()) words.push_back(rtl::UpperCase(word));
                word.clear();
            } else {
                word += c;
            }
        }
        if (!words.empty()) keywords.push_back(words);
    }
    return keywords;
}

bool Offers(const std::vector<std::vector<std::string>>& Keywords, const std::string& Keyword,
            const std::string& Parameter = "") {
    return std::any_of(Keywords.begin(), Keywords.end(), [&](const std::vector<std::string>& words) {
        return words[0] == Keyword &&
               (Parameter.empty() || std::find(words.begin() + 1, words.end(), Parameter) != words.end());
    });
}

// The SIZE keyword's limit in bytes; 0 when none is announced (or "SIZE 0": no limit).
std::int64_t SizeLimitOf(const std::vector<std::vector<std::string>>& Keywords) {
    for (const auto& words : Keywords) {
        if (words[0] != "SIZE" || words.size() < 2) continue;
        std::int64_t limit = 0;
        for (const char c : words[1]) {
            if (c < '0' || c > '9' || limit > (std::int64_t{1} << 50)) return 0;
            limit = limit * 10 + (c - '0');
        }
        return limit;
    }
    return 0;
}

std::string FirstLine(const std::string& Reply) { return Reply.substr(0, Reply.find_first_of("\r\n")); }

// RFC 4954, 4: a server need take no AUTH line longer than this, line end
// included. A longer one is cut, and the reply to it never comes.
constexpr std::size_t kMaxAuthLine = 12288;

// The longest login line of either method: PLAIN carries both credentials at once.
std::string PlainLine(const std::string& Name, const std::string& Password) {
    return "AUTH PLAIN " + codec::Base64(std::string(1, '\0') + Name + '\0' + Password);
}

}  // namespace

void TZelSMTP::RefuseLoginInTheClear(const TSmtpLogin& Login) const {
    if (!Login.Empty() && Security == TSmtpSecurity::None) throw rtl::Exception(kLoginNeedsTls, rtl::TErrorKind::Invalid);
}

void TZelSMTP::RefuseLongLogin(const TSmtpLogin& Login) const {
    if (!Login.Empty() && PlainLine(Login.Name.Bytes(), Login.Password.Bytes()).size() + 2 > kMaxAuthLine)
        throw rtl::Exception(kLoginTooLong, rtl::TErrorKind::Invalid);
}

void TZelSMTP::Handshake() {
    Step(TSmtpPhase::Handshake);
    WithinReplyLimit(TimeLimits.Handshake, "the TLS handshake", [&] { StartTls(); });
}

std::vector<std::string> TZelSMTP::Ehlo() {
    Step(TSmtpPhase::Ehlo);
    std::vector<std::string> lines;
    const std::string reply = Command("EHLO " + UserID, TimeLimits.Helo, "EHLO", &lines);
    if (ReplyCode >= 300) RefuseReply(reply, rtl::TErrorKind::Refused, reply);
    return lines;
}

void TZelSMTP::SecureHello(const TSmtpLogin& Login) {
    auto keywords = Keywords(Ehlo());
    if (Security == TSmtpSecurity::StartTls) {
        if (!Offers(keywords, "STARTTLS")) {
            // Not even QUIT: nothing more goes out in the clear.
            DropConnection();
            throw rtl::Exception(kServer + Host + kNoStartTls, rtl::TErrorKind::Tls);
        }
        Step(TSmtpPhase::StartTls);
        const std::string reply = Command("STARTTLS", TimeLimits.Helo, "STARTTLS");
        if (ReplyCode != 220) RefuseReply(reply, rtl::TErrorKind::StartTlsRefused, reply);
        Handshake();
        keywords = Keywords(Ehlo());  // what was offered in the clear no longer counts
    }
    ServerSizeLimit = SizeLimitOf(keywords);
    ServerAuthMethods.clear();
    for (const auto& words : keywords)
        if (words[0] == "AUTH") ServerAuthMethods.insert(ServerAuthMethods.end(), words.begin() + 1, words.end());
    if (!Login.Empty()) LogIn(keywords, Login);
}

void TZelSMTP::LogIn(const std::vector<std::vector<std::string>>& Keywords, const TSmtpLogin& Login) {
    Step(TSmtpPhase::Auth);
    // UTF-8 as typed (RFC 4616), the same bytes for LOGIN: never through the code page.
    const std::string& name = Login.Name.Bytes();
    const std::string& password = Login.Password.Bytes();
    // Longest first: the PLAIN form holds no other, but a masked password must not spoil it.
    Secrets = {codec::Base64(std::string(1, '\0') + name + '\0' + password), codec::Base64(password), password};
    // No command line reaches a status text or an exception: only the AUTH
    // command itself carries the credentials. Nor does a reply: a server may
    // echo what it was sent, so a refusal shows its code alone.
    if (Offers(Keywords, "AUTH", "PLAIN")) {
        Command(PlainLine(name, password), TimeLimits.Helo, "AUTH");
    } else if (Offers(Keywords, "AUTH", "LOGIN")) {
        Command("AUTH LOGIN", TimeLimits.Helo, "AUTH");
        if (ReplyCode == 334) Command(codec::Base64(name), TimeLimits.Helo, "AUTH");
        if (ReplyCode == 334) Command(codec::Base64(password), TimeLimits.Helo, "AUTH");
    } else {
        throw rtl::Exception(kServer + Host + kNoLoginMethod, rtl::TErrorKind::Refused);
    }
    if (ReplyCode == 235) return;
    // Each refusal has its own remedy: only 535 blames the name or the password.
    const rtl::TErrorKind kind = ReplyCode == 454   ? rtl::TErrorKind::LoginUnavailable
                                 : ReplyCode == 534 ? rtl::TErrorKind::MechanismTooWeak
                                 : ReplyCode == 530 ? rtl::TErrorKind::EncryptionRequired
                                                    : rtl::TErrorKind::LoginRefused;
    // The code and the enhanced status only: the lines may echo the secrets.
    throw ESmtpReplyError(kServer + Host + (kind == rtl::TErrorKind::LoginRefused ? kLoginRefused : "") + " (" +
                              rtl::IntToStr(ReplyCode) + ")",
                          kind, PhaseName(FPhase), ReplyCode, EnhancedStatusOf(LastReply), {});
}

void TZelSMTP::RefuseUnprotected(const std::string& Reply) const {
    // "530 5.7.0 Must issue a STARTTLS command first" asks for protection, not
    // for a login, whichever command it answers (Postfix already refuses RSET).
    if (ReplyCode == 530 && Security == TSmtpSecurity::None && rtl::UpperCase(Reply).find("TLS") != std::string::npos)
        RefuseReply(Reply, rtl::TErrorKind::EncryptionRequired, Reply);
}

void TZelSMTP::RefuseMailFrom(const std::string& Reply) const {
    RefuseUnprotected(Reply);
    if (ReplyCode == 530 && !WithLogin)
        RefuseReply(kServer + Host + kLoginRequired + " (" + FirstLine(Reply) + ")", rtl::TErrorKind::LoginRequired, Reply);
    if (ReplyCode == 552) RefuseReply(Reply, rtl::TErrorKind::TooLarge, Reply);
    if (ReplyCode >= 400) RefuseReply(Reply, rtl::TErrorKind::SenderRefused, Reply);
}

}  // namespace mail
