#include "codec/ZelUUE.h"

#include "rtl/SysUtils.h"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace codec {

namespace {

constexpr int kLineBytes = 45;  // input bytes per output line
// Input is read in whole lines' worth at a time: one read per line would cost
// a system call per 45 bytes of a file attachment.
constexpr int kChunkLines = 1024;
constexpr int kChunkBytes = kLineBytes * kChunkLines;

constexpr char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Encodes n (1..45) bytes into one line with its CR LF; returns its length.
int EncodeLine(const std::uint8_t* in, int n, const char* alphabet, bool uu, char* line) {
    char* p = line;
    if (uu) *p++ = alphabet[n & 63];
    int i = 0;
    for (; n - i >= 3; i += 3) {
        const std::uint32_t v = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
        p[0] = alphabet[v >> 18];
        p[1] = alphabet[(v >> 12) & 63];
        p[2] = alphabet[(v >> 6) & 63];
        p[3] = alphabet[v & 63];
        p += 4;
    }
    if (n - i == 1) {
        const std::uint8_t b0 = in[i];
        *p++ = alphabet[b0 >> 2];
        *p++ = alphabet[(b0 << 4) & 48];
        if (!uu) {
            *p++ = '=';
            *p++ = '=';
        }
    } else if (n - i == 2) {
        const std::uint8_t b0 = in[i], b1 = in[i + 1];
        *p++ = alphabet[b0 >> 2];
        *p++ = alphabet[((b0 << 4) & 48) | (b1 >> 4)];
        *p++ = alphabet[(b1 << 2) & 60];
        if (!uu) *p++ = '=';
    }
    *p++ = '\r';
    *p++ = '\n';
    return static_cast<int>(p - line);
}

// Reads until count bytes arrived or a read yields nothing, so a stream that
// delivers short reads still gives full lines (a short base64 line with its
// padding in the middle would corrupt the attachment).
int Fill(rtl::TStream& stream, std::uint8_t* buffer, int count) {
    int got = 0;
    while (got < count) {
        const std::int64_t n = stream.Read(buffer + got, count - got);
        if (n <= 0) break;
        got += static_cast<int>(std::min<std::int64_t>(n, count - got));
    }
    return got;
}

// Makes room in a memory-stream output for the whole encoding at once, so that
// a large attachment does not pay for repeated reallocation and copying line
// by line. Nothing is written ahead: only the lines touch the memory. Other
// streams are left alone.
void ReserveOutput(rtl::TStream& output, std::int64_t inputSize) {
    constexpr std::int64_t kMaxReserve = std::int64_t{1} << 30;
    auto* memory = dynamic_cast<rtl::TMemoryStream*>(&output);
    if (memory == nullptr || inputSize <= 0 || inputSize > kMaxReserve / 2) return;
    memory->Reserve(memory->Position() + (inputSize + kLineBytes - 1) / kLineBytes * (1 + kLineBytes / 3 * 4 + 2) + 3);
}

}  // namespace

TZelUUProcessor::TZelUUProcessor(rtl::TComponent* owner) : rtl::TComponent(owner), Method(uuMime) {}

void TZelUUProcessor::Encode() {
    if (InputStream == nullptr || OutputStream == nullptr)
        throw rtl::EStreamError("TZelUUProcessor.Encode needs an input and an output stream");
    InputStream->SetPosition(0);
    if (OnBeginEncode) OnBeginEncode(this);
    try {
        EncodeLines();
    } catch (...) {
        FinishEncode();
        throw;
    }
    FinishEncode();
}

void TZelUUProcessor::LoadAlphabet() {
    if (Method == uuCode) {
        Alphabet[0] = '`';  // a blank would be lost by mail gateways that trim lines
        for (int v = 1; v < 64; ++v) Alphabet[v] = static_cast<char>(32 + v);
    } else {
        std::copy(kMimeAlphabet, kMimeAlphabet + 64, Alphabet);
    }
}

void TZelUUProcessor::EncodeLines() {
    LoadAlphabet();
    const bool uu = Method == uuCode;
    const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(kChunkBytes);
    char line[1 + kLineBytes / 3 * 4 + 2];
    ReserveOutput(*OutputStream, InputStream->Size());

    while (InputStream->Position() < InputStream->Size()) {
        const int n = Fill(*InputStream, chunk.get(), kChunkBytes);
        // A stalled read before the end is an I/O failure: an attachment cut
        // short must not go out as if it were whole.
        if (n < kChunkBytes && InputStream->Position() < InputStream->Size()) throw rtl::EReadError();
        for (int off = 0; off < n; off += kLineBytes) {
            const int len = EncodeLine(chunk.get() + off, std::min(kLineBytes, n - off), Alphabet, uu, line);
            OutputStream->WriteBuffer(line, len);
        }
        if (OnProgress) OnProgress(this);
    }
    if (uu) {
        const char last[] = {Alphabet[0], '\r', '\n'};
        OutputStream->WriteBuffer(last, sizeof last);
    }
}

void TZelUUProcessor::FinishEncode() {
    OutputStream->SetPosition(0);
    if (OnEndEncode) OnEndEncode(this);
}

}  // namespace codec
