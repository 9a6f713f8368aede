#include "app/Messages.h"

#include <cstddef>
#include <iterator>
#include <utility>

namespace app {
namespace {

using TEntry = std::pair<TMsg, const char*>;

// In the enum's order; Msg checks the order once.
constexpr TEntry kCatalogue[] = {
    {TMsg::LookupFailed, "找不到邮件服务器 %1：查不到这个名称的地址。请检查%3的拼写。"},
    {TMsg::ConnectionRefused, "邮件服务器 %1 的端口 %2 拒绝了连接：这个端口上没有邮件服务。请检查%3（通常是 587、465 或 25）。"},
    {TMsg::Unreachable, "连接不到邮件服务器 %1 的端口 %2：没有通往它的路由，或者连接超时。请检查%3，以及网络和防火墙。"},
    {TMsg::TimedOut, "邮件服务器 %1:%2 在规定的时间内没有回应。可以稍后再试；总是如此时，请检查%3。"},
    {TMsg::ClosedByPeer, "邮件服务器 %1:%2 断开了连接。可以稍后再试；总是如此时，请检查%3。"},
    {TMsg::ServerSpeaksTls, "邮件服务器 %1 的端口 %2 从一开始就使用加密连接，不回应未加密的问候。请把%3改为 SSL/TLS（这个端口通常是 465）。"},
    {TMsg::TlsUntrusted, "与邮件服务器 %1:%2 的加密连接失败：服务器的证书不是由受信任的颁发机构签发的。如果您信任这个服务器，请在%3中选择它的颁发机构的证书文件。"},
    {TMsg::TlsNameMismatch, "与邮件服务器 %1:%2 的加密连接失败：服务器证书上的名称不是 %1。请在%3中填写证书上的名称。"},
    {TMsg::TlsNotTls, "邮件服务器 %1 的端口 %2 不使用 SSL/TLS 加密。请把%3改为 STARTTLS（端口 587）或“无”（端口 25）。"},
    {TMsg::TlsFailed, "与邮件服务器 %1:%2 的加密连接失败。请检查%3；总是如此时，请与邮件服务商联系。"},
    {TMsg::StartTlsRefused, "邮件服务器 %1:%2 拒绝启动 STARTTLS 加密。可以稍后再试，或把%3改为 SSL/TLS（端口 465）。"},
    {TMsg::LoginRefused, "邮件服务器 %1 拒绝了登录（535）：用户名或密码不对。请检查%3。"},
    {TMsg::LoginUnavailable, "邮件服务器 %1 暂时无法验证登录（454）。用户名和密码不一定有错，请稍后再试；总是如此时，请与邮件服务商联系。"},
    {TMsg::MechanismTooWeak, "邮件服务器 %1 认为这种登录方式不够安全（534）。请把%3改为 STARTTLS 或 SSL/TLS；有的服务商还要求在网页上开启客户端登录并使用授权码。"},
    {TMsg::EncryptionRequired, "邮件服务器 %1 要求先建立加密连接（530）。请把%3改为 STARTTLS（端口 587）或 SSL/TLS（端口 465）。"},
    {TMsg::LoginRequired, "邮件服务器 %1 要求登录后才能发信（530）。请填写%3。"},
    {TMsg::SenderRefused, "邮件服务器 %1 拒绝了发信人地址，传真没有发送。请检查%3：它通常必须是您在这个服务器上的邮箱。"},
    {TMsg::RecipientRefused, "邮件服务器 %1 拒绝了传真号码 %4 的网关地址，传真没有发送。请检查号码和%3。"},
    {TMsg::TooLargeForServer, "传真邮件有 %4 MB，超过了邮件服务器 %1 允许的 %5 MB，传真没有发送。请减少或压缩附件。"},
    {TMsg::TooLarge, "传真邮件太大，邮件服务器 %1 不接受，传真没有发送。请减少或压缩附件。"},
    {TMsg::RefusedTemporarily, "邮件服务器 %1:%2 暂时无法处理这次发送。请稍后再试。"},
    {TMsg::RefusedPermanently, "邮件服务器 %1:%2 拒绝了这次发送。括号中是服务器的说明；请按它检查%3。"},
    {TMsg::NotSmtp, "邮件服务器 %1:%2 的回应不符合 SMTP 协议。请检查%3是否是邮件服务器的端口。"},
    {TMsg::TemporaryHint, "这是暂时的拒绝（4xx），可以稍后再试。"},
    {TMsg::PermanentHint, "这是永久的拒绝（5xx），改正之前重试没有用。"},
    {TMsg::Stopped, "发送已停止，传真没有发送。"},
    {TMsg::TimeLimitReached, "%1 秒内没有完成发送，已停止，传真没有发送。"},
    {TMsg::SettingServer, "“SMTP邮件服务器”"},
    {TMsg::SettingPort, "“SMTP端口”"},
    {TMsg::SettingSecurity, "“安全连接”"},
    {TMsg::SettingLogin, "“登录名”和“密码”"},
    {TMsg::SettingTrustFile, "“信任的证书”"},
    {TMsg::SettingGateway, "“传真网关”"},
    {TMsg::SettingFrom, "“您的电子邮件”"},
    {TMsg::StatusConnecting, "正在连接 %1:%2 …"},
    {TMsg::StatusStartingTls, "正在建立加密连接 …"},
    {TMsg::StatusLoggingIn, "正在登录 …"},
    {TMsg::StatusSending, "正在发送 …"},
    {TMsg::StatusStillWaiting, "邮件服务器 %1:%2 还没有问候，仍在等待（最多 %3 秒）…"},
    {TMsg::CheckConnected, "已连接 %1:%2"},
    {TMsg::CheckTls, "加密连接（%1）已建立"},
    {TMsg::CheckCertificate, "服务器证书可信，名称相符"},
    {TMsg::CheckLogin, "以 %1 登录成功"},
    {TMsg::CheckNoLogin, "没有设置登录名，不登录"},
    {TMsg::CheckSize, "服务器接受的邮件最大 %1 MB"},
    {TMsg::CheckNoSize, "服务器没有说明邮件大小的上限"},
    {TMsg::CheckAuth, "服务器提供的登录方式：%1"},
    {TMsg::CheckPassed, "连接测试成功，没有发送任何邮件。"},
    {TMsg::CheckTrying, "试一试端口 %1（%2）…"},
    {TMsg::CheckProposal, "建议的设置：端口 %1，安全连接 %2。"},
    {TMsg::CheckNoAlternative, "常用的端口和安全连接都试过了，没有一种能连上：请检查服务器名称，或向邮件服务商查询正确的设置。"},
    {TMsg::CheckTimeLimitReached, "%1 秒内没有完成连接测试，已停止。"},
    {TMsg::CheckConfirm, "端口 %1、安全连接 %2 可以连通。要改用这个设置吗？"},
    {TMsg::CheckButton, "测试连接"},
    {TMsg::CheckCaption, "测试连接"},
    {TMsg::NumberCovered, "可以发送：%1"},
    {TMsg::NumberNotCovered, "不在传真范围内：%1"},
    {TMsg::NumberGateway, "网关地址：%1"},
    {TMsg::NoSuchHomeCountry, "没有国家代码 %1。本国国家代码是一个国家的电话代码，如 86（中国）或 1（美国、加拿大）。"},
    {TMsg::NoDisplay, "没有图形显示，无法打开窗口。不用窗口也可以发送传真：用 faxmail --help 查看命令行的用法。"},
};

constexpr bool OneTextPerKeyInOrder() {
    for (std::size_t i = 0; i < std::size(kCatalogue); ++i)
        if (static_cast<std::size_t>(kCatalogue[i].first) != i) return false;
    return std::size(kCatalogue) == static_cast<std::size_t>(TMsg::NoDisplay) + 1;
}
static_assert(OneTextPerKeyInOrder(), "the catalogue lists one text per key, in the enum's order");

}  // namespace

QString Msg(TMsg id) { return QString::fromUtf8(kCatalogue[static_cast<std::size_t>(id)].second); }

QString Msg(TMsg id, const QStringList& values) {
    const QString pattern = Msg(id);
    QString text;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
            const qsizetype n = pattern[i + 1].digitValue() - 1;
            if (n < values.size()) text += values[n];
            ++i;
        } else {
            text += c;
        }
    }
    return text;
}

}  // namespace app
