// The media type an attachment's part declares. Gateways print a document by
// its declared type, and filters score a PDF sent as octet-stream as an
// attachment in disguise.
#pragma once

#include <string>

namespace mail {

// From what the content shows (ContentType: the signature database's
// answer, platform/MediaType.h) and the attachment's name: a signature of a
// kind gateways print decides; else the name's extension; else text without
// any signature; else application/octet-stream.
std::string AttachmentType(const std::string& ContentType, const std::string& Name);

}  // namespace mail
