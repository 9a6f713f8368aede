#include "codec/ZelUUE.h"

#include "rtl/SysUtils.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define ZELUUE_AVX2 1
#include <immintrin.h>
#endif

namespace codec {

namespace {

constexpr int kLineBytes = TZelUUProcessor::kLineBytes;  // input bytes per output line
// The longest line: the length character (uuencode), the groups, CR LF.
constexpr int kMaxLineChars = 1 + kLineBytes / 3 * 4 + 2;
// Input is read, and the lines written, a chunk of whole lines at a time: one
// read and one write per line would cost a call each per 45 bytes.
constexpr int kChunkLines = 1024;
constexpr int kChunkBytes = kLineBytes * kChunkLines;

constexpr char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// One method's characters, and the two characters of every 12 input bits, so
// that a group of three bytes takes two lookups instead of four.
struct TCharTables {
    char Single[64];
    char Pairs[4096][2];
};

constexpr TCharTables MakeTables(UUMethods method) {
    TCharTables t{};
    for (int v = 0; v < 64; ++v) {
        // uuencode writes a grave accent for 0: a blank would be lost by mail
        // gateways that trim lines.
        t.Single[v] = method == uuMime ? kMimeAlphabet[v] : v == 0 ? '`' : static_cast<char>(32 + v);
    }
    for (int v = 0; v < 4096; ++v) {
        t.Pairs[v][0] = t.Single[v >> 6];
        t.Pairs[v][1] = t.Single[v & 63];
    }
    return t;
}

constexpr TCharTables kMimeTables = MakeTables(uuMime);
constexpr TCharTables kUUTables = MakeTables(uuCode);

inline char* EncodeGroup(const std::uint8_t* in, const TCharTables& t, char* out) {
    const std::uint32_t v = std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
    std::memcpy(out, t.Pairs[v >> 12], 2);
    std::memcpy(out + 2, t.Pairs[v & 0xfff], 2);
    return out + 4;
}

// Encodes count full lines of 45 bytes, each with its CR LF; returns the end
// of the text.
char* EncodeFullLines(const std::uint8_t* in, int count, const TCharTables& t, bool uu, char* out) {
    for (int line = 0; line < count; ++line, in += kLineBytes) {
        if (uu) *out++ = t.Single[kLineBytes];
        for (int g = 0; g < kLineBytes / 3; ++g) out = EncodeGroup(in + 3 * g, t, out);
        out[0] = '\r';
        out[1] = '\n';
        out += 2;
    }
    return out;
}

#ifdef ZELUUE_AVX2
// The same with AVX2, 24 bytes into 32 characters at a time. The bit
// shuffling is the usual SIMD base64 one: each 32-bit element gets the bytes
// b1 b0 b2 b1 of its group, and two masked multiplies move the four 6-bit
// values into bytes of their own; a translation then turns values into
// characters. Reads exactly in[0..23].
__attribute__((target("avx2"))) __m256i EncodeBlockAvx2(const std::uint8_t* in, bool uu) {
    // Low lane: bytes 0..11 from in; high lane: bytes 12..23, loaded from
    // in + 8 so that the load ends at the block's last byte.
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 8)), 1);
    const __m256i groups = _mm256_shuffle_epi8(
        bytes, _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                5, 4, 6, 5, 8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14));
    const __m256i first = _mm256_mulhi_epu16(_mm256_and_si256(groups, _mm256_set1_epi32(0x0fc0fc00)),
                                             _mm256_set1_epi32(0x04000040));
    const __m256i second = _mm256_mullo_epi16(_mm256_and_si256(groups, _mm256_set1_epi32(0x003f03f0)),
                                              _mm256_set1_epi32(0x01000010));
    const __m256i values = _mm256_or_si256(first, second);

    if (uu) {
        // 32 + value, and the grave accent for 0.
        const __m256i zero = _mm256_cmpeq_epi8(values, _mm256_setzero_si256());
        return _mm256_add_epi8(_mm256_add_epi8(values, _mm256_set1_epi8(32)),
                               _mm256_and_si256(zero, _mm256_set1_epi8('`' - 32)));
    }
    // Each range of the alphabet is value plus an offset: the offset's index
    // is 0 for 26..51, 1..10 for the digits, 11 for "+", 12 for "/", 13 for
    // 0..25.
    __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), values);
    range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
    const __m256i offsets = _mm256_setr_epi8(
        'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '+' - 62, '/' - 63, 'A', 0, 0,  //
        'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
        '+' - 62, '/' - 63, 'A', 0, 0);
    return _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
}

// A line is two blocks: bytes 0..23, and 21..44 written over the four
// characters of bytes 21..23 again, so nothing is read past the line.
__attribute__((target("avx2"))) char* EncodeFullLinesAvx2(const std::uint8_t* in, int count, const TCharTables& t,
                                                          bool uu, char* out) {
    for (int line = 0; line < count; ++line, in += kLineBytes) {
        if (uu) *out++ = t.Single[kLineBytes];
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), EncodeBlockAvx2(in, uu));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 28), EncodeBlockAvx2(in + 21, uu));
        out[60] = '\r';
        out[61] = '\n';
        out += 62;
    }
    return out;
}
#endif

// Encodes a last line of 1 to 44 bytes. A short last group is encoded as if
// padded with zero bytes; base64 then replaces the characters that carry no
// input bits with "=", uuencode leaves them out.
char* EncodeShortLine(const std::uint8_t* in, int n, const TCharTables& t, bool uu, char* out) {
    if (uu) *out++ = t.Single[n];
    const std::uint8_t* const end = in + n / 3 * 3;
    for (; in != end; in += 3) out = EncodeGroup(in, t, out);
    if (const int rest = n % 3; rest != 0) {
        const std::uint8_t last[3] = {in[0], rest == 2 ? in[1] : std::uint8_t{0}, 0};
        EncodeGroup(last, t, out);
        out += rest + 1;
        if (!uu) out = std::fill_n(out, 3 - rest, '=');
    }
    out[0] = '\r';
    out[1] = '\n';
    return out + 2;
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
// a large attachment does not pay for repeated reallocation and copying chunk
// by chunk. Nothing is written ahead: only the lines touch the memory. Other
// streams are left alone.
void ReserveOutput(rtl::TStream& output, std::int64_t inputSize) {
    constexpr std::int64_t kMaxReserve = std::int64_t{1} << 30;
    auto* memory = dynamic_cast<rtl::TMemoryStream*>(&output);
    if (memory == nullptr || inputSize <= 0 || inputSize > kMaxReserve / 2) return;
    memory->Reserve(memory->Position() + (inputSize + kLineBytes - 1) / kLineBytes * kMaxLineChars + 3);
}

}  // namespace

TZelUUProcessor::TZelUUProcessor(rtl::TComponent* owner) : rtl::TComponent(owner), Method(uuMime) {}

bool TZelUUProcessor::VectorEncoderAvailable() {
#ifdef ZELUUE_AVX2
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    return false;
#endif
}

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

void TZelUUProcessor::EncodeLines() {
    const auto chunk = std::make_unique_for_overwrite<std::uint8_t[]>(kChunkBytes);
    const auto text = std::make_unique_for_overwrite<char[]>(kChunkLines * kMaxLineChars);
    ReserveOutput(*OutputStream, InputStream->Size());

    while (InputStream->Position() < InputStream->Size()) {
        const int n = Fill(*InputStream, chunk.get(), kChunkBytes);
        // A stalled read before the end is an I/O failure: an attachment cut
        // short must not go out as if it were whole.
        if (n < kChunkBytes && InputStream->Position() < InputStream->Size()) throw rtl::EReadError();
        OutputStream->WriteBuffer(text.get(), EncodePiece(chunk.get(), n, text.get()));
        if (OnProgress) OnProgress(this);
    }
    const std::string end = EndLines();
    OutputStream->WriteBuffer(end.data(), static_cast<std::int64_t>(end.size()));
}

std::int64_t TZelUUProcessor::EncodePiece(const void* In, std::int64_t Count, char* Out) const {
    const bool uu = Method == uuCode;
    const TCharTables& tables = uu ? kUUTables : kMimeTables;
    auto encodeFullLines = EncodeFullLines;
#ifdef ZELUUE_AVX2
    if (LineEncoder == TLineEncoder::Vector && VectorEncoderAvailable()) encodeFullLines = EncodeFullLinesAvx2;
#endif
    const auto* in = static_cast<const std::uint8_t*>(In);
    char* out = Out;
    // In pieces of whole lines that an int counts.
    for (std::int64_t left = Count; left >= kLineBytes;) {
        const int lines = static_cast<int>(std::min<std::int64_t>(left / kLineBytes, 1 << 20));
        out = encodeFullLines(in, lines, tables, uu, out);
        in += std::int64_t{lines} * kLineBytes;
        left -= std::int64_t{lines} * kLineBytes;
    }
    if (const int rest = static_cast<int>(Count % kLineBytes); rest != 0) out = EncodeShortLine(in, rest, tables, uu, out);
    return out - Out;
}

std::int64_t TZelUUProcessor::MaxEncodedChars(std::int64_t Count) {
    return (Count + kLineBytes - 1) / kLineBytes * kMaxLineChars;
}

std::string TZelUUProcessor::EndLines() const {
    if (Method != uuCode) return {};
    return {kUUTables.Single[0], '\r', '\n'};
}

void TZelUUProcessor::FinishEncode() {
    OutputStream->SetPosition(0);
    if (OnEndEncode) OnEndEncode(this);
}

std::string Base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 3; ++k) group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kMimeAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

}  // namespace codec
