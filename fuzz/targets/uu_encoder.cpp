// fuzz-link: codec
//
// The attachment encoder. The first input byte chooses how the input stream
// behaves (short reads, a read that stalls before the end, a payload grown
// past one read chunk) and how much the output stream already holds; the
// rest is the payload. Both methods encode it, with each line encoder, and the
// lines are checked for their shape and decoded here, by decoders that share
// nothing with the encoder, back to the payload; the two line encoders must
// give the same bytes.
#include "FuzzCheck.h"

#include "codec/ZelUUE.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using fuzz::Escaped;

// An input stream that hands out at most MaxRead bytes per read and, when
// StallAt is set, nothing from that position on while still claiming its full
// size, as a file does whose read fails.
class PayloadStream : public rtl::TStream {
public:
    explicit PayloadStream(std::string data) : Data(std::move(data)) {}

    std::int64_t Read(void* buffer, std::int64_t count) override {
        std::int64_t end = Size();
        if (StallAt >= 0) end = std::min(end, StallAt);
        const std::int64_t n = std::max<std::int64_t>(0, std::min({count, MaxRead, end - Pos}));
        if (n > 0) std::memcpy(buffer, Data.data() + Pos, static_cast<std::size_t>(n));
        Pos += n;
        return n;
    }
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    std::int64_t Seek(std::int64_t offset, rtl::TSeekOrigin origin) override {
        const std::int64_t base = origin == rtl::TSeekOrigin::soBeginning ? 0
                                  : origin == rtl::TSeekOrigin::soCurrent ? Pos
                                                                          : Size();
        Pos = std::clamp<std::int64_t>(base + offset, 0, Size());
        return Pos;
    }
    std::int64_t Size() override { return static_cast<std::int64_t>(Data.size()); }

    const std::string Data;
    std::int64_t Pos = 0;
    std::int64_t MaxRead = INT64_MAX;
    std::int64_t StallAt = -1;
};

struct Setup {
    std::string Payload;
    std::int64_t MaxRead = INT64_MAX;
    bool Stall = false;
    std::string Prefix;  // what the output stream holds before the encoding
};

Setup SetupFrom(const std::uint8_t* data, std::size_t size) {
    Setup s;
    if (size == 0) return s;
    const std::uint8_t control = data[0];
    s.Payload.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    static constexpr std::int64_t kReads[] = {INT64_MAX, 1, 2, 3, 44, 45, 46, 4096};
    s.MaxRead = kReads[control & 7];
    if ((control & 0x38) == 0x38 && !s.Payload.empty()) {
        // Repeat the payload to a size near 45 KiB, around the encoder's read
        // chunk, so inputs that cross it stay small for the fuzzer. Such runs
        // are slow under the sanitizers, hence three bits to ask for one.
        const std::size_t target = 46080 - 90 + s.Payload.size() % 181;
        std::string grown;
        grown.reserve(target);
        while (grown.size() < target) grown += s.Payload;
        grown.resize(target);
        s.Payload = std::move(grown);
    }
    s.Prefix.assign((control >> 5) & 3, 'P');
    s.Stall = (control & 0x80) != 0;
    return s;
}

std::vector<std::string> CrlfLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    FUZZ_CHECK(start == text.size(), "output does not end with CR LF");
    for (const std::string& line : lines)
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "stray CR or LF in " + Escaped(line));
    return lines;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Characters of one group of the payload's bytes: 4 for 3 bytes, and for a
// last group of 1 or 2 bytes 2 or 3 characters (uuencode) or 4 with "=".
std::size_t GroupChars(std::size_t bytes, bool padded) {
    const std::size_t rest = bytes % 3;
    return bytes / 3 * 4 + (rest == 0 ? 0 : padded ? 4 : rest + 1);
}

// Strict base64: whole line structure, alphabet, padding only at the very
// end, and zero bits under the padding.
std::string DecodeMime(const std::vector<std::string>& lines, std::size_t size) {
    FUZZ_CHECK(lines.size() == (size + 44) / 45, "uuMime line count " + std::to_string(lines.size()));
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::size_t bytes = std::min<std::size_t>(45, size - 45 * i);
        FUZZ_CHECK(line.size() == GroupChars(bytes, true), "uuMime line " + std::to_string(i) + " is " +
                                                              std::to_string(line.size()) + " characters");
        const std::size_t pad = (3 - bytes % 3) % 3;
        std::uint32_t bits = 0;
        int held = 0;
        for (std::size_t k = 0; k < line.size(); ++k) {
            if (k >= line.size() - pad) {
                FUZZ_CHECK(line[k] == '=', "missing padding in " + Escaped(line));
                continue;
            }
            const int v = Base64Value(line[k]);
            FUZZ_CHECK(v >= 0, "not base64: " + Escaped(line));
            bits = bits << 6 | static_cast<std::uint32_t>(v);
            held += 6;
            if (held >= 8) {
                held -= 8;
                out += static_cast<char>(bits >> held & 0xff);
            }
        }
        FUZZ_CHECK((bits & ((1u << held) - 1)) == 0, "stray bits under the padding: " + Escaped(line));
    }
    return out;
}

// uuencode-style: a length character, the groups without filler, characters
// from "!" to the grave accent (never a blank), and a last line of "`".
std::string DecodeUU(const std::vector<std::string>& lines, std::size_t size) {
    FUZZ_CHECK(lines.size() == (size + 44) / 45 + 1, "uuCode line count " + std::to_string(lines.size()));
    FUZZ_CHECK(lines.back() == "`", "uuCode last line " + Escaped(lines.back()));
    std::string out;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::size_t bytes = std::min<std::size_t>(45, size - 45 * i);
        FUZZ_CHECK(line.size() == 1 + GroupChars(bytes, false), "uuCode line " + std::to_string(i) + " is " +
                                                                    std::to_string(line.size()) + " characters");
        for (char c : line) FUZZ_CHECK(c > ' ' && c <= '`', "uuCode character out of range: " + Escaped(line));
        const auto value = [](char c) { return static_cast<std::uint32_t>(c == '`' ? 0 : c - ' '); };
        FUZZ_CHECK(value(line[0]) == bytes, "length character " + Escaped(line.substr(0, 1)) + " for " +
                                                std::to_string(bytes) + " bytes");
        std::uint32_t bits = 0;
        int held = 0;
        for (std::size_t k = 1; k < line.size(); ++k) {
            bits = bits << 6 | value(line[k]);
            held += 6;
            if (held >= 8) {
                held -= 8;
                out += static_cast<char>(bits >> held & 0xff);
            }
        }
        FUZZ_CHECK((bits & ((1u << held) - 1)) == 0, "stray bits in a short group: " + Escaped(line));
    }
    return out;
}

// Returns the text written after the prefix (empty after a stall).
std::string Run(const Setup& s, codec::UUMethods method, codec::TLineEncoder encoder) {
    PayloadStream input(s.Payload);
    input.MaxRead = s.MaxRead;
    // Start the input in the middle: the whole stream is still encoded.
    input.Pos = static_cast<std::int64_t>(s.Payload.size() / 2);
    const bool stalls = s.Stall && !s.Payload.empty();
    if (stalls) input.StallAt = static_cast<std::int64_t>(s.Payload.size() / 2);

    rtl::TMemoryStream output;
    output.WriteString(s.Prefix);
    codec::TZelUUProcessor processor(nullptr);
    processor.Method = method;
    processor.LineEncoder = encoder;
    processor.InputStream = &input;
    processor.OutputStream = &output;
    int begun = 0, ended = 0;
    processor.OnBeginEncode = [&](rtl::TObject* sender) {
        FUZZ_CHECK(sender == &processor && ended == 0, "OnBeginEncode");
        ++begun;
    };
    processor.OnEndEncode = [&](rtl::TObject* sender) {
        FUZZ_CHECK(sender == &processor && begun == 1, "OnEndEncode");
        ++ended;
    };

    bool failed = false;
    try {
        processor.Encode();
    } catch (const rtl::EReadError&) {
        failed = true;
    }
    FUZZ_CHECK(failed == stalls, stalls ? "a stalled read went unnoticed" : "read error on a whole stream");
    FUZZ_CHECK(begun == 1 && ended == 1, "events fired " + std::to_string(begun) + "/" + std::to_string(ended));
    FUZZ_CHECK(output.Position() == 0, "output left at " + std::to_string(output.Position()));
    const std::string text = output.ToString();
    FUZZ_CHECK(text.compare(0, s.Prefix.size(), s.Prefix) == 0, "output overwrote what it held");
    if (stalls) return {};
    FUZZ_CHECK(input.Pos == input.Size(), "input left at " + std::to_string(input.Pos));

    const std::vector<std::string> lines = CrlfLines(text.substr(s.Prefix.size()));
    const std::string decoded =
        method == codec::uuMime ? DecodeMime(lines, s.Payload.size()) : DecodeUU(lines, s.Payload.size());
    FUZZ_CHECK(decoded == s.Payload, "decoded bytes differ from the input of " + std::to_string(s.Payload.size()) +
                                         " bytes");
    return text.substr(s.Prefix.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Setup setup = SetupFrom(data, size);
    for (const codec::UUMethods method : {codec::uuMime, codec::uuCode}) {
        const std::string portable = Run(setup, method, codec::TLineEncoder::Portable);
        const std::string vector = Run(setup, method, codec::TLineEncoder::Vector);
        FUZZ_CHECK(portable == vector, "the line encoders differ for method " + std::to_string(method));
    }
    return 0;
}
