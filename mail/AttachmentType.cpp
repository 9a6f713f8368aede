#include "mail/AttachmentType.h"

#include <cstddef>

namespace mail {
namespace {

constexpr char kWord[] = "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
constexpr char kSheet[] = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
constexpr char kSlides[] = "application/vnd.openxmlformats-officedocument.presentationml.presentation";
constexpr char kOdt[] = "application/vnd.oasis.opendocument.text";
constexpr char kRtf[] = "application/rtf";

struct TNamed {
    const char* Key;
    const char* Type;
};

// What the signature database says, for the kinds gateways print. A zip or
// an OLE file without its kind named, an empty file and unknown bytes are
// not here: their name decides.
constexpr TNamed kBySignature[] = {
    {"application/pdf", "application/pdf"}, {"image/tiff", "image/tiff"},     {"image/jpeg", "image/jpeg"},
    {"image/png", "image/png"},             {"image/gif", "image/gif"},       {"application/msword", "application/msword"},
    {kWord, kWord},                         {kSheet, kSheet},                 {kSlides, kSlides},
    {"text/rtf", kRtf},                     {"application/rtf", kRtf},        {kOdt, kOdt},
};

constexpr TNamed kByExtension[] = {
    {"pdf", "application/pdf"}, {"tif", "image/tiff"},  {"tiff", "image/tiff"}, {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},     {"jpe", "image/jpeg"},  {"png", "image/png"},   {"gif", "image/gif"},
    {"txt", "text/plain"},      {"doc", "application/msword"}, {"docx", kWord}, {"xlsx", kSheet},
    {"pptx", kSlides},          {"rtf", kRtf},          {"odt", kOdt},
};

// ASCII only: the locale's case mapping has no say in what goes on the wire.
std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

std::string AttachmentType(const std::string& ContentType, const std::string& Name) {
    for (const TNamed& known : kBySignature)
        if (ContentType == known.Key) return known.Type;
    const std::size_t dot = Name.rfind('.');
    if (dot != std::string::npos) {
        const std::string extension = LowerAscii(Name.substr(dot + 1));
        for (const TNamed& known : kByExtension)
            if (extension == known.Key) return known.Type;
    }
    if (ContentType == "text/plain") return "text/plain";
    return "application/octet-stream";
}

}  // namespace mail
