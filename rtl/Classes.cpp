#include "rtl/Classes.h"

#include "rtl/SysUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rtl {

// ---- TStream ----

std::int64_t TStream::Size() {
    const std::int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    const std::int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, std::int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, std::int64_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

std::int64_t TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    std::vector<char> chunk(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 20)));
    std::int64_t left = count;
    while (left > 0) {
        const std::int64_t n = std::min<std::int64_t>(left, static_cast<std::int64_t>(chunk.size()));
        source.ReadBuffer(chunk.data(), n);
        WriteBuffer(chunk.data(), n);
        left -= n;
    }
    return count;
}

// ---- TMemoryStream ----

namespace {

// Large buffers get a mapping of their own, aligned to and backed by 2 MiB
// pages where the system offers them: touching a fresh 4 KiB page costs a
// fault, and for a message of tens of megabytes those faults cost more than
// encoding it. Smaller buffers come from the heap.
constexpr std::size_t kLargePage = std::size_t{2} << 20;
constexpr std::size_t kMapFrom = std::size_t{1} << 20;

}  // namespace

class TMemoryStream::TBlock {
public:
    explicit TBlock(std::size_t capacity) {
        if (capacity >= kMapFrom && MapAligned(capacity)) return;
        Data = static_cast<std::uint8_t*>(std::malloc(capacity));
        if (Data == nullptr) throw std::bad_alloc();
        Capacity = capacity;
    }
    ~TBlock() {
        if (Mapped)
            ::munmap(Data, Capacity);
        else
            std::free(Data);
    }
    TBlock(const TBlock&) = delete;
    TBlock& operator=(const TBlock&) = delete;

    std::uint8_t* Data = nullptr;
    std::size_t Capacity = 0;

private:
    bool MapAligned(std::size_t capacity) {
        const std::size_t length = (capacity + kLargePage - 1) / kLargePage * kLargePage;
        void* area = ::mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (area == MAP_FAILED) return false;
        const auto base = reinterpret_cast<std::uintptr_t>(area);
        const std::uintptr_t start = (base + kLargePage - 1) / kLargePage * kLargePage;
        if (start > base) ::munmap(area, start - base);
        ::munmap(reinterpret_cast<void*>(start + length), kLargePage - (start - base));
#ifdef MADV_HUGEPAGE
        ::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);  // a hint: refused, 4 KiB pages serve
#endif
        Data = reinterpret_cast<std::uint8_t*>(start);
        Capacity = length;
        Mapped = true;
        return true;
    }

    bool Mapped = false;
};

std::uint8_t* TMemoryStream::Data() const { return Block ? Block->Data + Start : nullptr; }

void TMemoryStream::MakeRoom(std::int64_t capacity) {
    if (Block && Block.use_count() == 1) {
        if (Capacity() >= capacity) return;
        // Discarded bytes at the front at least as many as the content: move
        // the content down instead of growing. Each byte is moved at most as
        // often as bytes before it were discarded, so this stays linear.
        if (Start >= FSize && static_cast<std::int64_t>(Block->Capacity) >= capacity) {
            std::memmove(Block->Data, Block->Data + Start, static_cast<std::size_t>(FSize));
            Start = 0;
            return;
        }
    }
    std::size_t size = static_cast<std::size_t>(std::max(capacity, Capacity()));
    // A queue (written at its end, read from its front) that outgrew its block
    // doubles it: a block just large enough would be replaced again at the
    // next slightly larger piece, the heap grown and trimmed each time.
    if (Block && Start > 0) size = std::max(size, 2 * Block->Capacity);
    auto block = std::make_shared<TBlock>(size);
    if (FSize > 0) std::memcpy(block->Data, Data(), static_cast<std::size_t>(FSize));
    Block = std::move(block);
    Start = 0;
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0 || Pos >= FSize) return 0;
    const std::int64_t n = std::min(count, FSize - Pos);
    std::memcpy(buffer, Data() + Pos, static_cast<std::size_t>(n));
    Pos += n;
    return n;
}

std::int64_t TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0) return 0;
    const std::int64_t end = Pos + count;
    // Grow geometrically: appending chunk by chunk stays linear.
    MakeRoom(end > Capacity() ? std::max(end, Capacity() * 2) : end);
    if (Pos > FSize) std::memset(Data() + FSize, 0, static_cast<std::size_t>(Pos - FSize));
    std::memcpy(Data() + Pos, buffer, static_cast<std::size_t>(count));
    Pos = end;
    FSize = std::max(FSize, end);
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == TSeekOrigin::soCurrent) base = Pos;
    if (origin == TSeekOrigin::soEnd) base = Size();
    Pos = std::max<std::int64_t>(0, base + offset);
    return Pos;
}

std::int64_t TMemoryStream::CopyFrom(TStream& source, std::int64_t count) {
    auto* memory = dynamic_cast<TMemoryStream*>(&source);
    if (count != 0 || memory == nullptr || memory == this || FSize != 0 || Pos != 0) return TStream::CopyFrom(source, count);
    Block = memory->Block;
    Start = memory->Start;
    FSize = memory->FSize;
    Pos = FSize;
    memory->Pos = memory->FSize;
    return FSize;
}

void TMemoryStream::Clear() {
    Block.reset();
    Start = 0;
    FSize = 0;
    Pos = 0;
}

void TMemoryStream::SetSize(std::int64_t size) {
    size = std::max<std::int64_t>(0, size);
    if (size > FSize) {
        MakeRoom(size);
        std::memset(Data() + FSize, 0, static_cast<std::size_t>(size - FSize));
    }
    FSize = size;
    Pos = std::min(Pos, FSize);
}

void TMemoryStream::Reserve(std::int64_t capacity) {
    if (capacity > Capacity()) MakeRoom(capacity);
}

std::int64_t TMemoryStream::Capacity() const { return Block ? static_cast<std::int64_t>(Block->Capacity) - Start : 0; }

void TMemoryStream::DiscardFront(std::int64_t count) {
    count = std::clamp<std::int64_t>(count, 0, FSize);
    Start += count;
    FSize -= count;
    Pos = std::max<std::int64_t>(0, Pos - count);
    if (FSize == 0) Start = 0;
}

const std::uint8_t* TMemoryStream::Memory() const { return Data(); }

std::string TMemoryStream::ToString() const {
    if (FSize == 0) return {};
    return std::string(reinterpret_cast<const char*>(Data()), static_cast<std::size_t>(FSize));
}

void TMemoryStream::Swap(TMemoryStream& other) noexcept {
    Block.swap(other.Block);
    std::swap(Start, other.Start);
    std::swap(FSize, other.FSize);
    std::swap(Pos, other.Pos);
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& path) : FileName(path) {
    // Only a regular file has a size to encode. A FIFO would block the open
    // (or the reads) for ever, and a device or pseudo-file gives nothing or
    // no end. stat never blocks and opens nothing; the open cannot block
    // (O_NONBLOCK, which regular files ignore); fstat then judges what was
    // really opened, in case the path changed in between.
    const auto refuse = [&] {
        if (Fd >= 0) ::close(Fd);
        Fd = -1;
        throw EFOpenError(FormatMessage("Cannot open file %s", path));
    };
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) refuse();
    Fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (Fd < 0 || ::fstat(Fd, &info) != 0 || !S_ISREG(info.st_mode)) refuse();
    FSize = info.st_size;
    // A file that reports no size yet has bytes (those under /proc) would go out empty.
    char probe;
    if (FSize == 0 && ::pread(Fd, &probe, 1, 0) != 0) refuse();
}

TFileStream::~TFileStream() {
    if (Fd >= 0) ::close(Fd);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    // Never past the size seen at open: a file that grows is not followed.
    count = std::min(count, FSize - Pos);
    if (count <= 0) return 0;
    ssize_t n;
    do n = ::read(Fd, buffer, static_cast<std::size_t>(count));
    while (n < 0 && errno == EINTR);
    if (n <= 0) return 0;
    Pos += n;
    return n;
}

std::int64_t TFileStream::Write(const void*, std::int64_t) { return 0; }

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? Pos : FSize;
    const std::int64_t target = base + offset;
    if (target < 0 || ::lseek(Fd, static_cast<off_t>(target), SEEK_SET) < 0) return Pos;
    Pos = target;
    return Pos;
}

// ---- TStringList ----

TStringList::TStringList(std::initializer_list<std::string> lines) {
    for (const auto& line : lines) Add(line);
}

void TStringList::CheckIndex(int index) const {
    if (index < 0 || index >= Count())
        throw EStringListError(FormatMessage("List index out of bounds (%s)", std::to_string(index)));
}

const std::string& TStringList::operator[](int index) const {
    CheckIndex(index);
    return Lines[static_cast<std::size_t>(index)];
}

void TStringList::Put(int index, const std::string& text) {
    if (SortedMode) throw EStringListError("Operation not allowed on sorted string list");
    CheckIndex(index);
    Lines[static_cast<std::size_t>(index)] = text;
}

TObject* TStringList::Objects(int index) const {
    CheckIndex(index);
    return LineObjects[static_cast<std::size_t>(index)];
}

void TStringList::PutObject(int index, TObject* object) {
    CheckIndex(index);
    LineObjects[static_cast<std::size_t>(index)] = object;
}

int TStringList::AddObject(const std::string& text, TObject* object) {
    int index = Count();
    if (SortedMode && Find(text, index)) return index;
    Lines.insert(Lines.begin() + index, text);
    LineObjects.insert(LineObjects.begin() + index, object);
    return index;
}

void TStringList::Insert(int index, const std::string& text) {
    if (SortedMode) throw EStringListError("Operation not allowed on sorted string list");
    if (index < 0 || index > Count())
        throw EStringListError(FormatMessage("List index out of bounds (%s)", std::to_string(index)));
    Lines.insert(Lines.begin() + index, text);
    LineObjects.insert(LineObjects.begin() + index, nullptr);
}

void TStringList::Delete(int index) {
    CheckIndex(index);
    Lines.erase(Lines.begin() + index);
    LineObjects.erase(LineObjects.begin() + index);
}

void TStringList::Clear() {
    Lines.clear();
    LineObjects.clear();
}

void TStringList::Assign(const TStringList& source) {
    if (&source == this) return;
    Lines = source.Lines;
    LineObjects = source.LineObjects;
    if (SortedMode) {
        SortedMode = false;
        SetSorted(true);
    }
}

int TStringList::IndexOf(const std::string& text) const {
    if (SortedMode) {
        int index = 0;
        return Find(text, index) ? index : -1;
    }
    for (int i = 0; i < Count(); ++i)
        if (AnsiCompareText(Lines[static_cast<std::size_t>(i)], text) == 0) return i;
    return -1;
}

void TStringList::SetSorted(bool value) {
    if (value == SortedMode) return;
    SortedMode = value;
    if (!value) return;
    std::vector<std::size_t> order(Lines.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [this](std::size_t a, std::size_t b) { return AnsiCompareText(Lines[a], Lines[b]) < 0; });
    std::vector<std::string> lines;
    std::vector<TObject*> objects;
    for (std::size_t i : order) {
        lines.push_back(std::move(Lines[i]));
        objects.push_back(LineObjects[i]);
    }
    Lines = std::move(lines);
    LineObjects = std::move(objects);
}

bool TStringList::Find(const std::string& text, int& index) const {
    int lo = 0, hi = Count() - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const int c = AnsiCompareText(Lines[static_cast<std::size_t>(mid)], text);
        if (c < 0) {
            lo = mid + 1;
        } else if (c > 0) {
            hi = mid - 1;
        } else {
            index = mid;
            return true;
        }
    }
    index = lo;
    return false;
}

std::string TStringList::Text() const {
    std::string text;
    std::size_t size = 0;
    for (const auto& line : Lines) size += line.size() + 2;
    text.reserve(size);
    for (const auto& line : Lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void TStringList::SetText(const std::string& text) {
    Clear();
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            Add(text.substr(start));
            break;
        }
        Add(text.substr(start, end - start));
        if (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        start = end + 1;
    }
}

}  // namespace rtl
