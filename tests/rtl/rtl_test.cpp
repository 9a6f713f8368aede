#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace rtl;

TEST(StrToInt, AcceptsDigitsSignAndLeadingBlanks) {
    EXPECT_EQ(StrToInt("001"), 1);
    EXPECT_EQ(StrToInt("0086"), 86);
    EXPECT_EQ(StrToInt("  42"), 42);
    EXPECT_EQ(StrToInt("-7"), -7);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(StrToInt("00000000000000000000012"), 12);
}

TEST(StrToInt, RefusesWithTheConversionMessage) {
    for (const char* bad : {"", " ", "+", "x", "12 ", "1x", "2147483648", "-2147483649", "99999999999999999999", "0x10"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message, std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

// A pasted document must not become a message box of its size; the head
// keeps whole GB2312 characters.
TEST(StrToInt, QuotesOnlyTheHeadOfALongText) {
    const std::string gb(40, '\xd6'), shortText = std::string(31, '7') + "x";
    for (const auto& [text, quoted] : {std::pair{shortText, shortText}, std::pair{"x" + gb, "x" + gb.substr(0, 32) + "\xa1\xad"}}) {
        try {
            StrToInt(text);
            ADD_FAILURE() << text;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message, "'" + quoted + "' is not a valid integer value");
        }
    }
}

TEST(RangeChecked, NarrowsOrRaises) {
    EXPECT_EQ((RangeChecked<std::int16_t>(32767)), 32767);
    EXPECT_THROW((RangeChecked<std::int16_t>(32768)), ERangeError);
    EXPECT_THROW((RangeChecked<std::uint16_t>(-1)), ERangeError);
    EXPECT_THROW((RangeChecked<std::uint32_t>(std::int64_t{-1})), ERangeError);
    EXPECT_EQ((RangeChecked<std::uint16_t>(65535)), 65535);
    try {
        RangeChecked<std::uint16_t>(70000);
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Range check error");
    }
}

TEST(MemoryStream, ReadWriteSeekAndSwap) {
    TMemoryStream m;
    m.WriteString("hello");
    EXPECT_EQ(m.Size(), 5);
    EXPECT_EQ(m.Position(), 5);
    m.SetPosition(1);
    char buf[8] = {};
    EXPECT_EQ(m.Read(buf, 8), 4);
    EXPECT_STREQ(buf, "ello");
    m.SetPosition(3);
    m.WriteString("LOWORLD");
    EXPECT_EQ(m.ToString(), "helLOWORLD");
    TMemoryStream other;
    other.WriteString("x");
    m.Swap(other);
    EXPECT_EQ(m.ToString(), "x");
    EXPECT_EQ(other.Size(), 10);
    m.SetPosition(0);
    EXPECT_THROW(m.ReadBuffer(buf, 2), EReadError);
}

TEST(MemoryStream, GrowingReadsZerosNotOldBytes) {
    TMemoryStream m;
    m.WriteString("hello world!");
    m.SetSize(5);
    m.SetSize(8);
    EXPECT_EQ(m.ToString(), std::string("hello\0\0\0", 8));
    m.SetSize(2);
    m.SetPosition(4);  // a write beyond the end leaves a gap
    m.WriteString("X");
    EXPECT_EQ(m.ToString(), std::string("he\0\0X", 5));
    EXPECT_EQ(m.Position(), 5);
}

TEST(MemoryStream, ReserveKeepsContentAndLargeBuffersHoldEveryByte) {
    TMemoryStream m;
    m.WriteString("abc");
    m.SetPosition(1);
    m.Reserve(5 << 20);
    EXPECT_GE(m.Capacity(), 5 << 20);
    EXPECT_EQ(m.ToString(), "abc");
    EXPECT_EQ(m.Position(), 1);
    std::string big(3 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4099);
    m.Seek(0, TSeekOrigin::soEnd);
    m.WriteString(big);
    m.WriteString(big);  // beyond the reservation: grows, keeping what was written
    EXPECT_TRUE(m.ToString() == "abc" + big + big);
}

TEST(MemoryStream, WholeCopyIsSharedUntilEitherSideWrites) {
    TMemoryStream source;
    source.WriteString("0123456789");
    source.SetPosition(3);
    TMemoryStream copy;
    EXPECT_EQ(copy.CopyFrom(source, 0), 10);
    EXPECT_EQ(copy.ToString(), "0123456789");
    EXPECT_EQ(copy.Position(), 10);
    EXPECT_EQ(source.Position(), 10);

    copy.SetPosition(0);
    copy.WriteString("AB");
    EXPECT_EQ(copy.ToString(), "AB23456789");
    EXPECT_EQ(source.ToString(), "0123456789");

    TMemoryStream second;
    second.CopyFrom(source, 0);
    source.SetSize(12);
    source.SetPosition(1);
    source.WriteString("x");
    EXPECT_EQ(source.ToString(), std::string("0x23456789\0\0", 12));
    EXPECT_EQ(second.ToString(), "0123456789");
    second.Clear();
    EXPECT_EQ(source.ToString(), std::string("0x23456789\0\0", 12));

    // Into a stream that holds bytes already: an ordinary copy at its position.
    TMemoryStream target;
    target.WriteString("head:");
    source.SetPosition(5);
    target.CopyFrom(source, 4);
    EXPECT_EQ(target.ToString(), "head:5678");
    EXPECT_EQ(source.Position(), 9);
}

// Bytes taken from the front and appended at the back leave what a string would hold.
TEST(MemoryStream, DiscardFrontKeepsTheRestThroughAnyGrowth) {
    std::mt19937 random(5);
    TMemoryStream stream;
    std::string model;
    for (int step = 0; step < 2000; ++step) {
        const std::size_t n = random() % 3000;
        stream.DiscardFront(static_cast<std::int64_t>(std::min(n, model.size())));
        model.erase(0, std::min(n, model.size()));
        const std::string piece(random() % 4000, static_cast<char>('a' + step % 26));
        stream.Seek(0, TSeekOrigin::soEnd);
        stream.WriteString(piece);
        ASSERT_EQ(stream.ToString(), model += piece) << step;
    }
}

TEST(FileStream, OpensReadsAndReportsMissingFile) {
    const std::string path = ::testing::TempDir() + "rtl_file_stream.bin";
    { std::ofstream(path, std::ios::binary) << std::string("abc\0def", 7); }
    TFileStream f(path);
    EXPECT_EQ(f.Size(), 7);
    f.SetPosition(4);
    char buf[3];
    f.ReadBuffer(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "def");
    EXPECT_EQ(f.Write("x", 1), 0);
    std::remove(path.c_str());
    try {
        TFileStream missing("/no/such/dir/file.doc");
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message, "Cannot open file /no/such/dir/file.doc");
    }
}

// Only a regular file with a size is an attachment: the others hang, go out
// empty or never end. And a file read ends where it ended when opened.
TEST(FileStream, TakesOnlyRegularFilesAndOnlyTheSizeSeenWhenOpened) {
    const std::string fifo = ::testing::TempDir() + "rtl_fifo_" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);  // so that no open can block
    for (const std::string& path : {fifo, ::testing::TempDir(), std::string("/dev/zero"), std::string("/proc/self/status")}) {
        try {
            TFileStream opened(path);
            ADD_FAILURE() << path << ": " << opened.Size() << " bytes";
        } catch (const EFOpenError& e) {
            EXPECT_EQ(e.Message, "Cannot open file " + path);
        }
    }
    ::close(writer);
    std::remove(fifo.c_str());

    const std::string path = ::testing::TempDir() + "rtl_growing.bin";
    { std::ofstream(path, std::ios::binary) << std::string(100, 'a'); }
    TFileStream f(path);
    { std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1000, 'b'); }
    std::string all(2000, '\0');
    EXPECT_EQ(f.Size(), 100);
    EXPECT_EQ(f.Read(all.data(), 2000), 100);
    std::remove(path.c_str());
}

TEST(StringList, AddInsertDeleteAssignCopies) {
    TStringList a{"one", "two"};
    a.Insert(1, "between");
    a.Add("three");
    a.Delete(0);
    ASSERT_EQ(a.Count(), 3);
    EXPECT_EQ(a[0], "between");
    EXPECT_EQ(a.Text(), "between\r\ntwo\r\nthree\r\n");
    TStringList b;
    b.Assign(a);
    a.Clear();
    EXPECT_EQ(b.Count(), 3);
    EXPECT_THROW(b[3], EStringListError);
    EXPECT_THROW(b.Delete(-1), EStringListError);
}

TEST(StringList, SortedModeIsCaseInsensitiveAndRefusesPut) {
    TStringList s;
    s.Add("beta");
    s.Add("Alpha");
    s.Add("gamma");
    s.SetSorted(true);
    EXPECT_EQ(s[0], "Alpha");
    EXPECT_EQ(s.Add("ALPHA"), 0);  // duplicate ignored
    EXPECT_EQ(s.Add("Delta"), 2);
    EXPECT_EQ(s.Count(), 4);
    EXPECT_EQ(s.IndexOf("GAMMA"), 3);
    EXPECT_EQ(s.IndexOf("omega"), -1);
    try {
        s.Put(0, "x");
        FAIL();
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message, "Operation not allowed on sorted string list");
    }
    EXPECT_THROW(s.Insert(0, "x"), EStringListError);
}

TEST(StringList, SetTextSplitsEveryLineEnding) {
    TStringList s;
    s.SetText("a\r\nb\nc\rd");
    EXPECT_EQ(s.Count(), 4);
    EXPECT_EQ(s[3], "d");
    s.SetText("");
    EXPECT_EQ(s.Count(), 0);
}

TEST(LongTime, FollowsTheLocaleTimeFormat) {
    std::tm t{};
    t.tm_hour = 14;
    t.tm_min = 3;
    t.tm_sec = 27;
    EXPECT_EQ(FormatLongTime(t), "14:03:27");  // POSIX locale: %H:%M:%S
}
