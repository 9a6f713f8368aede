// Encodes a file the way an attachment is encoded (file stream in, base64
// lines into a memory stream) and writes the lines to OUTPUT. The reference,
// `base64 -w 60 INPUT > OUTPUT`, ends with its text in a file, so the time
// here includes writing the file too: the same work on both sides.
//   encode_bench INPUT OUTPUT [RUNS [portable]]     RUNS defaults to 5
// Prints the best wall time of RUNS runs and the speed it gives; "portable"
// runs the portable line encoder instead of the vector one.
#include "codec/ZelUUE.h"
#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// One run: returns the encoded size; raises on any file error.
std::int64_t EncodeFile(const std::string& inputPath, const std::string& outputPath, codec::TLineEncoder encoder) {
    rtl::TFileStream input(inputPath);
    rtl::TMemoryStream output;
    codec::TZelUUProcessor processor(nullptr);
    processor.Method = codec::uuMime;
    processor.LineEncoder = encoder;
    processor.InputStream = &input;
    processor.OutputStream = &output;
    processor.Encode();

    std::FILE* file = std::fopen(outputPath.c_str(), "wb");
    if (file == nullptr) throw rtl::EStreamError("Cannot create file " + outputPath);
    const auto size = static_cast<std::size_t>(output.Size());
    const bool written = std::fwrite(output.Memory(), 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) throw rtl::EStreamError("Cannot write file " + outputPath);
    return output.Size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 5 || (argc == 5 && std::string(argv[4]) != "portable")) {
        std::fprintf(stderr, "usage: encode_bench INPUT OUTPUT [RUNS [portable]]\n");
        return 2;
    }
    const auto encoder = argc == 5 ? codec::TLineEncoder::Portable : codec::TLineEncoder::Vector;
    const std::string input = argv[1], output = argv[2];
    std::int32_t runs = 5;
    if (argc >= 4 && (!rtl::TryStrToInt(argv[3], runs) || runs < 1)) {
        std::fprintf(stderr, "encode_bench: RUNS must be a positive number\n");
        return 2;
    }
    try {
        double best = 0;
        std::int64_t outSize = 0;
        for (int run = 0; run < runs; ++run) {
            const auto start = std::chrono::steady_clock::now();
            outSize = EncodeFile(input, output, encoder);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (run == 0 || took.count() < best) best = took.count();
        }
        const std::int64_t inSize = rtl::TFileStream(input).Size();
        const bool vector =
            encoder == codec::TLineEncoder::Vector && codec::TZelUUProcessor::VectorEncoderAvailable();
        std::printf("encode_bench: %s encoder, %lld bytes in, %lld bytes out, best of %d: %.6f s, %.1f MB/s\n",
                    vector ? "vector" : "portable", static_cast<long long>(inSize), static_cast<long long>(outSize),
                    runs, best, static_cast<double>(inSize) / (1024.0 * 1024.0) / best);
    } catch (const rtl::Exception& e) {
        std::fprintf(stderr, "encode_bench: %s\n", e.Message.c_str());
        return 1;
    }
    return 0;
}
