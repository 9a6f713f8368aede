#include "codec/ZelUUE.h"

#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <vector>

using codec::TZelUUProcessor;

namespace codec {
// Names the encoder in failure messages.
void PrintTo(TLineEncoder encoder, std::ostream* os) { *os << (encoder == TLineEncoder::Vector ? "Vector" : "Portable"); }
}  // namespace codec

namespace {

using codec::TLineEncoder;

std::string Encode(const std::string& input, codec::UUMethods method,
                   TLineEncoder encoder = TLineEncoder::Vector) {
    rtl::TMemoryStream in, out;
    in.WriteString(input);
    TZelUUProcessor p(nullptr);
    p.Method = method;
    p.LineEncoder = encoder;
    p.InputStream = &in;
    p.OutputStream = &out;
    p.Encode();
    return out.ToString();
}

std::vector<std::string> SplitCrlf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "output must end with CR LF";
    return lines;
}

// Decoders written from the formats, independent of the encoder's tables.
std::string DecodeBase64(const std::string& text) {
    std::string out;
    unsigned bits = 0, nbits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        nbits += 6;
        if (nbits >= 8) {
            nbits -= 8;
            out += static_cast<char>((bits >> nbits) & 0xff);
        }
    }
    return out;
}

std::string DecodeUULine(const std::string& line) {
    auto val = [](char c) { return (c - 32) & 63; };
    const std::size_t n = static_cast<std::size_t>(val(line.at(0)));
    std::string out;
    for (std::size_t i = 1; out.size() < n; i += 4) {
        const int c[4] = {val(line.at(i)), val(line.at(i + 1)), i + 2 < line.size() ? val(line[i + 2]) : 0,
                          i + 3 < line.size() ? val(line[i + 3]) : 0};
        const char b[3] = {static_cast<char>(c[0] << 2 | c[1] >> 4), static_cast<char>(c[1] << 4 | c[2] >> 2),
                           static_cast<char>(c[2] << 6 | c[3])};
        out.append(b, std::min<std::size_t>(3, n - out.size()));
    }
    return out;
}

std::string RandomBytes(std::size_t size, std::mt19937& rng) {
    std::string s(size, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xff);
    return s;
}

void CheckMime(const std::string& input, TLineEncoder encoder) {
    const std::string text = Encode(input, codec::uuMime, encoder);
    const auto lines = SplitCrlf(text);
    ASSERT_EQ(lines.size(), (input.size() + 44) / 45) << "size " << input.size();
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        ASSERT_EQ(lines[i].size(), 60u) << "line " << i << " of size " << input.size();
        ASSERT_EQ(lines[i].find('='), std::string::npos);
    }
    if (!lines.empty()) {
        EXPECT_EQ(lines.back().size() % 4, 0u);
    }
    ASSERT_EQ(DecodeBase64(text), input) << "size " << input.size();
}

void CheckUU(const std::string& input, TLineEncoder encoder) {
    const auto lines = SplitCrlf(Encode(input, codec::uuCode, encoder));
    ASSERT_EQ(lines.size(), (input.size() + 44) / 45 + 1);
    ASSERT_EQ(lines.back(), "`");
    std::string decoded;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::size_t n = std::min<std::size_t>(45, input.size() - 45 * i);
        ASSERT_EQ(lines[i].size(), 1 + (n / 3) * 4 + (n % 3 ? n % 3 + 1 : 0)) << "no filler after a short group";
        ASSERT_EQ(lines[i].find(' '), std::string::npos);
        decoded += DecodeUULine(lines[i]);
    }
    ASSERT_EQ(decoded, input);
}

// A stream that hands out at most MaxRead bytes per read and, when StallAt is
// set, nothing from that position on while still claiming its full size.
class TrickleStream : public rtl::TMemoryStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override {
        if (StallAt >= 0) count = std::min(count, StallAt - Position());
        return count <= 0 ? 0 : TMemoryStream::Read(buffer, std::min(count, MaxRead));
    }
    std::int64_t MaxRead = 1 << 30;
    std::int64_t StallAt = -1;
};

}  // namespace

TEST(ZelUUE, MimeKnownVectors) {
    EXPECT_EQ(Encode("", codec::uuMime), "");
    EXPECT_EQ(Encode("f", codec::uuMime), "Zg==\r\n");
    EXPECT_EQ(Encode("fo", codec::uuMime), "Zm8=\r\n");
    EXPECT_EQ(Encode("foobar", codec::uuMime), "Zm9vYmFy\r\n");
    EXPECT_EQ(Encode("\xfb\xff", codec::uuMime), "+/8=\r\n");
}

// A file attachment through the file stream, checked by coreutils' decoder
// (-i skips the CRs).
TEST(ZelUUE, FileInputDecodesWithCoreutils) {
    struct Temp {
        char path[32] = "/tmp/zeluue_XXXXXX";
        int fd = mkstemp(path);
        ~Temp() {
            if (fd < 0) return;
            close(fd);
            unlink(path);
        }
    } inFile, outFile;
    ASSERT_GE(inFile.fd, 0);
    ASSERT_GE(outFile.fd, 0);
    std::mt19937 rng(99);
    const std::string data = RandomBytes(1000003, rng);
    ASSERT_EQ(write(inFile.fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    rtl::TFileStream in(inFile.path);
    rtl::TMemoryStream out;
    TZelUUProcessor p(nullptr);
    p.InputStream = &in;
    p.OutputStream = &out;
    p.Encode();
    ASSERT_EQ(write(outFile.fd, out.Memory(), static_cast<std::size_t>(out.Size())), static_cast<ssize_t>(out.Size()));

    FILE* pipe = popen(("base64 -d -i " + std::string(outFile.path)).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string decoded;
    char buf[65536];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) decoded.append(buf, n);
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_TRUE(decoded == data) << "decoded " << decoded.size() << " bytes";
}

TEST(ZelUUE, UUCodeKnownLines) {
    EXPECT_EQ(Encode("", codec::uuCode), "`\r\n");
    EXPECT_EQ(Encode("abc", codec::uuCode), "#86)C\r\n`\r\n");
    EXPECT_EQ(Encode("a", codec::uuCode), "!80\r\n`\r\n");
    EXPECT_EQ(Encode(std::string(3, '\0'), codec::uuCode), "#````\r\n`\r\n");
    const auto lines = SplitCrlf(Encode(std::string(46, 'x'), codec::uuCode));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].size(), 61u);
    EXPECT_EQ(lines[0][0], 'M');
    EXPECT_EQ(lines[1], "!>`");
}

TEST(ZelUUE, EncodesWholeInputAndRewindsOutput) {
    rtl::TMemoryStream in, out;
    in.WriteString("foobar");
    in.SetPosition(3);
    out.WriteString("HEAD");
    std::vector<std::string> events;
    TZelUUProcessor p(nullptr);
    p.InputStream = &in;
    p.OutputStream = &out;
    p.OnBeginEncode = [&](rtl::TObject* s) { events.push_back(s == &p ? "begin" : "?"); };
    p.OnEndEncode = [&](rtl::TObject* s) {
        events.push_back(s == &p && out.Position() == 0 ? "end" : "?");
    };
    p.Encode();
    EXPECT_EQ(out.ToString(), "HEADZm9vYmFy\r\n");
    EXPECT_EQ(out.Position(), 0);
    EXPECT_EQ(in.Position(), in.Size());
    EXPECT_EQ(events, (std::vector<std::string>{"begin", "end"}));

    // Written over data further on: what lies beyond the lines stays.
    const std::string old(100, '.');
    out.Clear();
    out.WriteString(old);
    out.SetPosition(2);
    p.Encode();
    EXPECT_EQ(out.ToString(), ".." + std::string("Zm9vYmFy\r\n") + old.substr(12));
}

TEST(ZelUUE, ShortReadsStillGiveFullLines) {
    std::mt19937 rng(1);
    const std::string data = RandomBytes(100000, rng);
    TrickleStream in;
    in.WriteString(data);
    in.MaxRead = 7;
    rtl::TMemoryStream out;
    TZelUUProcessor p(nullptr);
    p.InputStream = &in;
    p.OutputStream = &out;
    p.Encode();
    EXPECT_EQ(out.ToString(), Encode(data, codec::uuMime));
}

TEST(ZelUUE, StalledReadFailsAfterEndEvent) {
    TrickleStream in;
    in.WriteString(std::string(100000, 'z'));
    in.StallAt = 50000;
    rtl::TMemoryStream out;
    out.WriteString("x");
    int ends = 0;
    TZelUUProcessor p(nullptr);
    p.InputStream = &in;
    p.OutputStream = &out;
    p.OnEndEncode = [&](rtl::TObject*) { ++ends; };
    EXPECT_THROW(p.Encode(), rtl::EReadError);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(out.Position(), 0);
    const std::string written = out.ToString();
    EXPECT_EQ(written[0], 'x');
    EXPECT_EQ(written.size() % 62, 1u);
    const std::string decoded = DecodeBase64(written.substr(1));
    EXPECT_LT(decoded.size(), 50000u);
    EXPECT_EQ(decoded, std::string(decoded.size(), 'z'));
}

TEST(ZelUUE, BeginHandlerFailureSkipsEndEvent) {
    rtl::TMemoryStream in, out;
    in.WriteString("abc");
    bool ended = false;
    TZelUUProcessor p(nullptr);
    p.InputStream = &in;
    p.OutputStream = &out;
    p.OnBeginEncode = [](rtl::TObject*) { throw rtl::Exception("stop"); };
    p.OnEndEncode = [&](rtl::TObject*) { ended = true; };
    EXPECT_THROW(p.Encode(), rtl::Exception);
    EXPECT_FALSE(ended);
    EXPECT_EQ(out.Size(), 0);

    TZelUUProcessor unset(nullptr);
    EXPECT_THROW(unset.Encode(), rtl::Exception);
}

// Every test from here on runs with each line encoder: only whole lines of
// 45 bytes take the vector one, so the inputs are that long or longer.
class ZelUUELines : public testing::TestWithParam<TLineEncoder> {
protected:
    void SetUp() override {
        if (GetParam() == TLineEncoder::Vector && !TZelUUProcessor::VectorEncoderAvailable())
            GTEST_SKIP() << "this CPU has no vector encoder";
    }
};

INSTANTIATE_TEST_SUITE_P(Encoders, ZelUUELines, testing::Values(TLineEncoder::Portable, TLineEncoder::Vector),
                         [](const auto& info) { return info.param == TLineEncoder::Vector ? "Vector" : "Portable"; });

// Input whose 6-bit values run through the whole alphabet, started at each
// value in turn, so that every character appears at every position of a line.
TEST_P(ZelUUELines, EveryCharacterAtEveryPosition) {
    const std::string mime = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string uu = "`";
    for (char c = '!'; c <= '_'; ++c) uu += c;
    for (int first = 0; first < 64; ++first) {
        std::string input, mimeLine, uuLine;
        unsigned bits = 0, nbits = 0;
        for (int k = 0; k < 60; ++k) {
            const int v = (first + k) % 64;
            mimeLine += mime[v];
            uuLine += uu[v];
            bits = bits << 6 | static_cast<unsigned>(v);
            nbits += 6;
            if (nbits >= 8) {
                nbits -= 8;
                input += static_cast<char>(bits >> nbits & 0xff);
            }
        }
        ASSERT_EQ(input.size(), 45u);
        EXPECT_EQ(Encode(input, codec::uuMime, GetParam()), mimeLine + "\r\n") << "from value " << first;
        EXPECT_EQ(Encode(input, codec::uuCode, GetParam()), "M" + uuLine + "\r\n`\r\n") << "from value " << first;
    }
}

TEST_P(ZelUUELines, MimeRoundTripsEveryLengthAndLargeInputs) {
    std::mt19937 rng(4711);
    for (std::size_t size = 0; size <= 200; ++size)
        for (int round = 0; round < 4; ++round) CheckMime(RandomBytes(size, rng), GetParam());
    for (std::size_t size : {44999u, 45000u, 45001u, 46080u, 46081u, 1000003u})
        CheckMime(RandomBytes(size, rng), GetParam());
}

TEST_P(ZelUUELines, UUCodeRoundTripsEveryLength) {
    std::mt19937 rng(815);
    for (std::size_t size = 0; size <= 200; ++size) CheckUU(RandomBytes(size, rng), GetParam());
    CheckUU(RandomBytes(100000, rng), GetParam());
}
