// The mail message as the application fills it, and the event types the
// mail client and its composer share. No socket here.
#pragma once

#include "rtl/Classes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace mail {

// The mail message, filled in place by the application. The lists are values:
// assigning one copies its lines into the message's own list.
class TPostMessage : public rtl::TPersistent {
public:
    TPostMessage() = default;
    TPostMessage(const TPostMessage&) = delete;
    TPostMessage& operator=(const TPostMessage&) = delete;

    std::string FromName;
    std::string FromAddress;
    std::string Subject;
    std::string LocalProgram;
    std::string Date;
    std::string ReplyTo;
    rtl::TStringList Attachments;
    rtl::TStringList ToAddress;
    rtl::TStringList ToCarbonCopy;
    rtl::TStringList ToBlindCarbonCopy;
    rtl::TStringList Body;
};

// Filename: the attachment entry as held in the list (the whole path).
using TFileItem = std::function<void(const std::string& Filename)>;
// The bytes of attachment Index (its place in the list) as they are read to
// be encoded, in order: whoever needs a digest of what went out takes it here
// instead of reading the file a second time.
using TFileData = std::function<void(std::size_t Index, const std::uint8_t* Data, std::size_t Count)>;

}  // namespace mail
