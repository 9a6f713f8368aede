// Object bases, streams and the string list.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rtl {

class TObject {
public:
    virtual ~TObject() = default;
};

class TPersistent : public TObject {};

// A component knows its owner; owned parts are members or unique_ptrs of it.
class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* owner) : Owner(owner) {}
    TComponent* Owner;
    std::string Name;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
// Handled is false on entry; the handler sets it to ask for one more attempt.
using THandlerEvent = std::function<void(bool& Handled)>;

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    // Reads up to count bytes; returns how many were read.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes count bytes; returns how many were written.
    virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

    std::int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(std::int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }
    virtual std::int64_t Size();

    // Reads exactly count bytes or raises EReadError.
    void ReadBuffer(void* buffer, std::int64_t count);
    // Writes exactly count bytes or raises EStreamError.
    void WriteBuffer(const void* buffer, std::int64_t count);
    // Writes count bytes of source from its position (all of it from 0 when
    // count is 0) at this stream's position.
    virtual std::int64_t CopyFrom(TStream& source, std::int64_t count);
    void WriteString(const std::string& text) { WriteBuffer(text.data(), static_cast<std::int64_t>(text.size())); }
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override { return FSize; }
    // Copying a whole memory stream into an empty one shares its bytes until
    // either of the two is written to: a large message queued for sending
    // is not held twice.
    std::int64_t CopyFrom(TStream& source, std::int64_t count) override;

    void Clear();
    // Bytes added by growing read as zero.
    void SetSize(std::int64_t size);
    // Makes room for capacity bytes without changing the content; only what is
    // written is ever touched.
    void Reserve(std::int64_t capacity);
    std::int64_t Capacity() const;
    // Removes the first count bytes in constant time; their room is reused
    // when the stream next grows. Reading a buffer from its front thus costs
    // one pass over its bytes however many pieces it is taken in.
    void DiscardFront(std::int64_t count);
    // Read-only: the bytes may be shared with another stream.
    const std::uint8_t* Memory() const;
    std::string ToString() const;
    void Swap(TMemoryStream& other) noexcept;

private:
    class TBlock;
    // Gives this stream a buffer of its own of at least capacity bytes, keeping the content.
    void MakeRoom(std::int64_t capacity);

    std::uint8_t* Data() const;

    std::shared_ptr<TBlock> Block;
    std::int64_t Start = 0;  // where the content begins in Block
    std::int64_t FSize = 0;
    std::int64_t Pos = 0;
};

// A regular file opened for reading only, shared with readers (fmOpenRead or
// fmShareDenyWrite in the design's words); writing is refused. Its size is
// taken once, when it is opened: the stream ends there even if the file grows.
class TFileStream : public TStream {
public:
    // Raises EFOpenError "Cannot open file <path>" when the file cannot be
    // opened, or is no regular file with a size (a FIFO, device, directory,
    // socket, or a pseudo-file that reports no size). Never blocks.
    explicit TFileStream(const std::string& path);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() override { return FSize; }

    const std::string FileName;

private:
    int Fd = -1;
    std::int64_t FSize = 0;
    std::int64_t Pos = 0;
};

// Ordered list of 8-bit strings, each with an optional attached object.
// A sorted list keeps its lines in AnsiCompareText order and ignores exact
// duplicates on Add.
class TStringList : public TPersistent {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> lines);
    TStringList(const TStringList&) = default;
    TStringList& operator=(const TStringList&) = default;

    int Count() const { return static_cast<int>(Lines.size()); }
    const std::string& operator[](int index) const;
    const std::string& Strings(int index) const { return (*this)[index]; }
    // Replaces a line; refused on a sorted list.
    void Put(int index, const std::string& text);
    TObject* Objects(int index) const;
    void PutObject(int index, TObject* object);

    int Add(const std::string& text) { return AddObject(text, nullptr); }
    int AddObject(const std::string& text, TObject* object);
    // Refused on a sorted list.
    void Insert(int index, const std::string& text);
    void Delete(int index);
    void Clear();
    // Copies the lines and their objects of another list.
    void Assign(const TStringList& source);

    int IndexOf(const std::string& text) const;
    bool Sorted() const { return SortedMode; }
    void SetSorted(bool value);

    // Every line followed by CR LF.
    std::string Text() const;
    // Replaces the contents with the lines of text, split at CR LF, LF or CR.
    void SetText(const std::string& text);

    bool operator==(const TStringList& other) const { return Lines == other.Lines; }
    std::vector<std::string>::const_iterator begin() const { return Lines.begin(); }
    std::vector<std::string>::const_iterator end() const { return Lines.end(); }

protected:
    // Sorted search: true when found; index is the match or the insert place.
    bool Find(const std::string& text, int& index) const;
    void CheckIndex(int index) const;

    std::vector<std::string> Lines;
    std::vector<TObject*> LineObjects;
    bool SortedMode = false;
};

}  // namespace rtl
