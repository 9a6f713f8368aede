// The message text composed piece by piece as it is read: the socket takes
// it chunk by chunk while it goes out, so an attachment of any size costs a
// few hundred kilobytes of memory, and each piece is encoded in well under a
// millisecond. Its size is known before the first byte: every attachment is
// opened when the source is made (TMessageComposer::Open), and its size is
// taken then.
#pragma once

#include "codec/ZelUUE.h"
#include "mail/PostMessage.h"
#include "rtl/Classes.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mail {

class TMessageSource : public rtl::TStream {
public:
    TMessageSource(const TMessageSource&) = delete;
    TMessageSource& operator=(const TMessageSource&) = delete;
    ~TMessageSource() override;

    // Up to Count bytes of the text, fewer only at its end. An attachment that
    // has shrunk since it was opened raises rtl::EReadError; the events'
    // exceptions pass through.
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    // Read-only.
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    // Tells where the reading stands; moves only to where it stands (the
    // start, before the first read). Raises rtl::EStreamError otherwise.
    std::int64_t Seek(std::int64_t Offset, rtl::TSeekOrigin Origin) override;
    std::int64_t Size() override { return FSize; }

private:
    friend class TMessageComposer;
    // Text, and after it the lines of an attachment when the part has one.
    struct TPart {
        std::string Lead;
        bool Attached = false;
        std::string Entry;
        std::unique_ptr<rtl::TFileStream> File;
        std::size_t Index = 0;  // among the attachments
    };
    TMessageSource() = default;
    // Makes the next piece the current one; false at the end.
    bool NextPiece();
    void EncodeFilePiece(TPart& Part);

    std::vector<TPart> Parts;
    std::unique_ptr<codec::TZelUUProcessor> Encoder;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileData OnEncodeData;
    std::int64_t FSize = 0;
    std::int64_t Pos = 0;

    std::size_t PartIndex = 0;
    enum class TStage { Lead, Lines, End } Stage = TStage::Lead;
    bool Started = false;  // OnEncodeStart fired for the current part
    std::unique_ptr<std::uint8_t[]> Input;
    std::unique_ptr<char[]> Encoded;
    std::string EndText;
    const char* Piece = nullptr;  // the unread rest of the current piece
    std::int64_t PieceLeft = 0;
};

}  // namespace mail
