// Encodes the whole of one stream into lines of printable characters in
// another: base64 for MIME attachments, or the uuencode-style body lines.
#pragma once

#include "rtl/Classes.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace codec {

enum UUMethods { uuMime = 0, uuCode = 1 };

// Base64 of a short text on one line, padded, without a line end (encoded
// words, SMTP login); attachments go through the processor below.
std::string Base64(std::string_view bytes);

// How whole lines are encoded; both write the same bytes. The vector encoder
// runs on x86-64 processors with AVX2; elsewhere asking for it gives the
// portable one.
enum class TLineEncoder { Portable, Vector };

class TZelUUProcessor : public rtl::TComponent {
public:
    explicit TZelUUProcessor(rtl::TComponent* owner);

    // Encodes InputStream from byte 0 whatever its position, writing the lines
    // at OutputStream's position. Afterwards InputStream is at its end and
    // OutputStream at 0. OnEndEncode fires also when the encoding fails (after
    // OnBeginEncode ran); a read that stalls before the end raises
    // rtl::EReadError rather than leaving a truncated encoding.
    void Encode();

    rtl::TNotifyEvent OnBeginEncode;
    rtl::TNotifyEvent OnEndEncode;
    // After each piece of input (about 45 KB) is encoded: a handler may keep a
    // user interface live, or raise to end the encoding.
    rtl::TNotifyEvent OnProgress;
    // Kept for the component's interface; nothing decodes.
    rtl::TNotifyEvent OnBeginDecode;
    rtl::TNotifyEvent OnEndDecode;

    // Not owned; both must be set before Encode.
    rtl::TStream* InputStream = nullptr;
    rtl::TStream* OutputStream = nullptr;
    UUMethods Method = uuMime;
    // The vector encoder where it can run; tests and the benchmark switch to
    // compare the two.
    TLineEncoder LineEncoder = TLineEncoder::Vector;

    // Whether the CPU can run the vector encoder.
    static bool VectorEncoderAvailable();

    // Piece by piece, for a caller that reads the input itself (the message
    // composed while it is sent): the lines of Count bytes at Out, the same as
    // Encode writes for them; Count is a multiple of kLineBytes except in the
    // input's last piece. Returns the characters written, at most
    // MaxEncodedChars(Count).
    static constexpr int kLineBytes = 45;
    std::int64_t EncodePiece(const void* In, std::int64_t Count, char* Out) const;
    static std::int64_t MaxEncodedChars(std::int64_t Count);
    // What Encode writes after the last line: uuencode's end line, nothing for base64.
    std::string EndLines() const;

private:
    void EncodeLines();
    void FinishEncode();
};

}  // namespace codec
