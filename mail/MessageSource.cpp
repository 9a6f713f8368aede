#include "mail/MessageSource.h"

#include "rtl/SysUtils.h"

#include <algorithm>
#include <cstring>

namespace mail {
namespace {

// Input read and encoded at a time: 1024 lines, 62 KB of text.
constexpr std::int64_t kPieceBytes = 1024 * codec::TZelUUProcessor::kLineBytes;

}  // namespace

TMessageSource::~TMessageSource() = default;

std::int64_t TMessageSource::Write(const void*, std::int64_t) { return 0; }

std::int64_t TMessageSource::Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) {
    const std::int64_t base = Origin == rtl::TSeekOrigin::soBeginning ? 0 : Origin == rtl::TSeekOrigin::soCurrent ? Pos : FSize;
    if (base + Offset != Pos) throw rtl::EStreamError("The composed message is read once, from its start");
    return Pos;
}

std::int64_t TMessageSource::Read(void* Buffer, std::int64_t Count) {
    auto* out = static_cast<char*>(Buffer);
    std::int64_t done = 0;
    while (done < Count) {
        if (PieceLeft == 0 && !NextPiece()) break;
        const std::int64_t n = std::min(Count - done, PieceLeft);
        std::memcpy(out + done, Piece, static_cast<std::size_t>(n));
        Piece += n;
        PieceLeft -= n;
        done += n;
    }
    Pos += done;
    // The sizes were announced before the first byte: a text of another size
    // would cut the message or run into the end mark.
    if (Pos > FSize || (done < Count && Pos != FSize)) throw rtl::EReadError();
    return done;
}

bool TMessageSource::NextPiece() {
    while (PartIndex < Parts.size()) {
        TPart& part = Parts[PartIndex];
        switch (Stage) {
            case TStage::Lead:
                Stage = TStage::Lines;
                if (part.Lead.empty()) continue;
                Piece = part.Lead.data();
                PieceLeft = static_cast<std::int64_t>(part.Lead.size());
                return true;
            case TStage::Lines:
                if (!part.File) break;
                if (!Started) {
                    Started = true;
                    if (OnEncodeStart) OnEncodeStart(part.Entry);
                }
                if (part.File->Position() < part.File->Size()) {
                    EncodeFilePiece(part);
                    return true;
                }
                part.File.reset();  // read to its end: closed at once
                if (OnEncodeEnd) OnEncodeEnd(part.Entry);
                Stage = TStage::End;
                EndText = Encoder->EndLines();
                if (EndText.empty()) break;
                Piece = EndText.data();
                PieceLeft = static_cast<std::int64_t>(EndText.size());
                return true;
            case TStage::End: break;
        }
        ++PartIndex;
        Stage = TStage::Lead;
        Started = false;
    }
    return false;
}

void TMessageSource::EncodeFilePiece(TPart& Part) {
    rtl::TFileStream& file = *Part.File;
    if (!Input) {
        Input = std::make_unique_for_overwrite<std::uint8_t[]>(kPieceBytes);
        Encoded = std::make_unique_for_overwrite<char[]>(codec::TZelUUProcessor::MaxEncodedChars(kPieceBytes) + 1);
    }
    const std::int64_t want = std::min(kPieceBytes, file.Size() - file.Position());
    std::int64_t got = 0;
    while (got < want) {
        const std::int64_t n = file.Read(Input.get() + got, want - got);
        if (n <= 0) break;
        got += n;
    }
    // A file that shrank since it was opened: the attachment must not go out cut short.
    if (got < want) throw rtl::EReadError();
    if (OnEncodeData) OnEncodeData(Part.Index, Input.get(), static_cast<std::size_t>(got));
    std::int64_t chars = Encoder->EncodePiece(Input.get(), got, Encoded.get());
    // A uuencoded last line of 14 bytes starts with its length character ".",
    // and is stuffed like a body line so it cannot read as the end mark.
    constexpr int kLine = codec::TZelUUProcessor::kLineBytes;
    if (Encoder->Method == codec::uuCode && got % kLine != 0) {
        const std::int64_t last = got / kLine * (kLine / 3 * 4 + 3);
        if (Encoded[last] == '.') {
            std::memmove(Encoded.get() + last + 1, Encoded.get() + last, static_cast<std::size_t>(chars - last));
            ++chars;
        }
    }
    Piece = Encoded.get();
    PieceLeft = chars;
}

}  // namespace mail
