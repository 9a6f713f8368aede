// Composition: a TPostMessage and its attachment files turned into the header
// block and the message text that follows it (MIME, one base64 or uuencoded
// part per attachment). No socket and no window: the mail client, the tests
// and any other front end use it alike.
#pragma once

#include "codec/ZelExtstr.h"
#include "codec/ZelUUE.h"
#include "mail/PostMessage.h"
#include "rtl/Classes.h"

#include <string>

namespace mail {

class TMessageComposer {
public:
    codec::UUMethods EncodeType = codec::uuMime;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileItem OnAttachmentNotFound;
    // Owner of the encoder made for each attachment (the mail client, so that
    // its events name the component that sends).
    rtl::TComponent* EncoderOwner = nullptr;

    // Rebuilds Header, Text and Boundary from Message. Text holds what follows
    // the header block, dot-stuffed where a line could read as the end mark.
    void Compose(const TPostMessage& Message, codec::TExStringList& Header, rtl::TMemoryStream& Text,
                 std::string& Boundary) const;
    // Appends the part of attachment Index (counted from 1) to Text.
    void WriteAttachment(const TPostMessage& Message, int Index, const std::string& Boundary,
                         rtl::TMemoryStream& Text) const;

    // The attachment name of an entry: the text after its last "/", "\" or ":".
    static std::string AttachmentName(const std::string& Entry);
};

}  // namespace mail
