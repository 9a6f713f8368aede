// The program's own constants: title, feedback mailbox, web address and the
// introduction text. Texts here are UTF-8 (window side); the mail layers get
// GB2312 bytes.
#pragma once

#include "app/FeedbackConfig.h"
#include "rtl/SysUtils.h"

#include <string>
#include <string_view>

namespace app {

inline constexpr char kApplicationTitle[] = "Morvane 2.0";
inline constexpr char kWindowCaption[] = "Morvane 2.0——用E-mail发送免费国际传真。";

// The makers' feedback mailbox and its own SMTP server, as configured for this build.
inline constexpr char kFeedbackSmtpHost[] = FAXMAIL_FEEDBACK_SMTP_HOST;
inline constexpr char kFeedbackAddress[] = FAXMAIL_FEEDBACK_ADDRESS;
inline constexpr char kMakersWebAddress[] = FAXMAIL_WEB_ADDRESS;
// The user id for HELO: the mailbox's local part.
inline std::string FeedbackUserId() {
    const std::string_view address(kFeedbackAddress);
    return std::string(address.substr(0, address.find('@')));
}

// A host under the reserved .example domain stands for one not configured:
// it can never be looked up.
inline bool IsPlaceholderHost(std::string_view host) {
    const std::string lower = rtl::LowerCase(std::string(host));
    return lower == "example" || lower.ends_with(".example");
}

inline constexpr char kIntroduction[] =
    "欢迎使用 Morvane 2.0：用E-mail发送免费国际传真。\n"
    "\n"
    "本程序把传真当作一封普通的电子邮件发送：您只需填写自己的SMTP邮件服务器和电子邮件地址，"
    "输入对方的传真号码（格式如 001-212-1234567），再选择要传真的文件。程序会把传真号码变成"
    "远程打印传真网关的邮箱地址，并通过您的邮件服务器把文件作为附件发送出去，网关再把附件打印到对方的传真机上。\n"
    "\n"
    "使用须知：\n"
    "1. 传真内容均以附件文件的形式发送，请事先用其它软件（如Word、画图等）准备好要传真的文件。\n"
    "2. 附件可以是任何格式的文件：Word等文字处理文档，以及各种图形文件。\n"
    "3. 附件文件内不能有中文（中文只能以图形的形式发送），只能为英文。\n"
    "4. 只有传真范围列表中的国家和地区号码才能发送，请在主窗口的“传真范围列表”页查看。\n"
    "5. 发送结果会由传真网关回复到您的邮箱，请稍后查收。\n"
    "\n"
    "使用中遇到问题或有任何建议，请在“使用过程中出现的问题”页写下来发送给我们。";

}  // namespace app
