// Composition: a TPostMessage and its attachment files turned into the header
// block and the message text that follows it (MIME, one base64 or uuencoded
// part per attachment). No socket and no window: the mail client, the tests
// and any other front end use it alike.
#pragma once

#include "codec/ZelExtstr.h"
#include "codec/ZelUUE.h"
#include "mail/HeaderText.h"
#include "mail/MessageSource.h"
#include "mail/PostMessage.h"
#include "platform/Catalogue.h"
#include "rtl/Classes.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

namespace mail {

// The longest message text the transfer's 32-bit byte counters can count.
inline constexpr std::int64_t kMaxMessageText = std::numeric_limits<std::int32_t>::max();

class TMessageComposer {
public:
    codec::UUMethods EncodeType = codec::uuMime;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileData OnEncodeData;
    TFileItem OnAttachmentNotFound;
    // Owner of the encoder made for each attachment (the mail client, so that
    // its events name the component that sends).
    rtl::TComponent* EncoderOwner = nullptr;
    // Source of the Message-ID of a message that carries a Date.
    const TMessageClock* Clock = &SystemClock();
    // Runs between pieces of a composition read whole (Compose); it may
    // raise to end it.
    std::function<void()> OnProgress;

    // Rebuilds Header and Boundary from Message and returns the text that
    // follows the header block, composed as it is read: dot-stuffed where a
    // line could read as the end mark, its size known now. Every attachment
    // is opened here (OnAttachmentNotFound, then EFOpenError, for one that
    // cannot be) and is read as it is now. Before any is opened, a text that
    // would be longer than kMaxMessageText is refused (kind TooLarge); so is
    // one whose attachments have grown past it by the time they are opened.
    std::unique_ptr<TMessageSource> Open(const TPostMessage& Message, codec::TExStringList& Header,
                                         std::string& Boundary) const;
    // The same, read whole into Text (OnProgress between pieces).
    void Compose(const TPostMessage& Message, codec::TExStringList& Header, rtl::TMemoryStream& Text,
                 std::string& Boundary) const;

    // The attachment name of an entry: the text after its last "/", "\" or ":".
    static std::string AttachmentName(const std::string& Entry);
};

}  // namespace mail
