// fuzz-link: codec
//
// The header-line string list driven by a small program read from the input:
// add lines, set and remove header values, look names up, delete, sort and
// unsort, copy. After every step the list is checked against what the step
// must have done. The library raises nothing for these calls, so any
// exception escaping is a fault.
#include "FuzzCheck.h"

#include "codec/ZelExtstr.h"
#include "rtl/SysUtils.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using codec::TExStringList;
using fuzz::Escaped;

constexpr int kMaxLines = 40;
constexpr int kMaxSteps = 200;

// Names that collide by case, by prefix, by a blank before the colon, by a
// character that sorts before ":" (so line order and name order disagree),
// or that hold a colon themselves.
const char* const kNames[] = {"Subject", "SUBJECT", "subject", "Subjects", "Subject ", " Subject", "Reply-To",
                              "reply-to", "Date",   "Date2",   "Date-1",   "X-Mailer", "To",       "",
                              "a",       "A",       "a-b",     "Sub:ject", "\xb4\xab\xd5\xe6"};
const char* const kValues[] = {"x", "hello world", "a: b", " ", "\xb4\xab", "=?gb2312?B?1eY=?="};

std::string PickName(FuzzedDataProvider& in) {
    if (in.ConsumeBool()) return kNames[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kNames) - 1)];
    return in.ConsumeRandomLengthString(12);
}

std::string PickValue(FuzzedDataProvider& in) {
    std::string value = in.ConsumeBool()
                            ? kValues[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kValues) - 1)]
                            : in.ConsumeRandomLengthString(16);
    return value.empty() ? "v" : value;
}

// Letter case is folded for ASCII only and the rest compared byte by byte: two
// names are the same exactly when the list's collation says they are equal.
bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// A line without ":" has no name in an unsorted list and an empty one in a
// sorted list.
bool LineHasName(const std::string& line, const std::string& name, bool sorted) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return sorted && name.empty();
    return SameName(line.substr(0, colon), name);
}

std::vector<std::string> Lines(const TExStringList& list) { return {list.begin(), list.end()}; }

std::vector<int> Matches(const TExStringList& list, const std::string& name) {
    std::vector<int> at;
    for (int i = 0; i < list.Count(); ++i)
        if (LineHasName(list[i], name, list.Sorted())) at.push_back(i);
    return at;
}

std::string Dump(const TExStringList& list) {
    std::string text = list.Sorted() ? "sorted [" : "unsorted [";
    for (const std::string& line : list) text += "\"" + Escaped(line) + "\" ";
    return text + "]";
}

void CheckSortedOrder(const TExStringList& list) {
    for (int i = 0; i + 1 < list.Count(); ++i)
        FUZZ_CHECK(rtl::AnsiCompareText(list[i], list[i + 1]) <= 0, "out of order at " + std::to_string(i) +
                                                                         ": " + Dump(list));
}

// The halving can only be complete when the lines' names are in order too;
// lines are sorted as whole texts, so "Date2: x" comes before "Date: y".
bool NamesInOrder(const TExStringList& list) {
    auto name = [&](int i) {
        const std::size_t colon = list[i].find(':');
        return colon == std::string::npos ? std::string() : list[i].substr(0, colon);
    };
    for (int i = 0; i + 1 < list.Count(); ++i)
        if (rtl::AnsiCompareText(name(i), name(i + 1)) > 0) return false;
    return true;
}

void CheckLookup(const TExStringList& list, const std::string& name) {
    const int i = list.IndexOfHeaderName(name);
    const std::vector<int> at = Matches(list, name);
    const auto context = [&] {
        return "IndexOfHeaderName(\"" + Escaped(name) + "\") = " + std::to_string(i) + " in " + Dump(list);
    };
    FUZZ_CHECK(i >= -1 && i < list.Count(), context());
    if (!list.Sorted()) {
        FUZZ_CHECK(i == (at.empty() ? -1 : at.front()), context());
        return;
    }
    FUZZ_CHECK(i == -1 || LineHasName(list[i], name, true), context());
    if (NamesInOrder(list)) FUZZ_CHECK((i == -1) == at.empty(), context());
}

void SetValue(TExStringList& list, const std::string& name, const std::string& value) {
    const std::vector<std::string> before = Lines(list);
    const std::vector<int> matched = Matches(list, name);
    const int found = list.IndexOfHeaderName(name);
    list.SetHeaderValue(name, value);
    const std::vector<std::string> after = Lines(list);
    const std::string line = name + ": " + value;
    const auto context = [&] {
        return "SetHeaderValue(\"" + Escaped(name) + "\", \"" + Escaped(value) + "\") -> " + Dump(list);
    };

    if (list.Sorted()) {
        CheckSortedOrder(list);
        if (value.empty()) {
            std::vector<std::string> expected = before;
            if (found != -1) expected.erase(expected.begin() + found);
            FUZZ_CHECK(after == expected, context());
        } else if (name.find(':') == std::string::npos) {
            // The new line, or an equal one that made it a duplicate, is there.
            FUZZ_CHECK(list.IndexOf(line) != -1, context());
            FUZZ_CHECK(!Matches(list, name).empty(), context());
            if (NamesInOrder(list)) FUZZ_CHECK(list.IndexOfHeaderName(name) != -1, context());
        }
        return;
    }

    std::vector<std::string> expected = before;
    if (value.empty()) {
        if (!matched.empty()) expected.erase(expected.begin() + matched.front());
    } else if (matched.empty()) {
        expected.push_back(line);
    } else {
        expected[static_cast<std::size_t>(matched.front())] = line;
    }
    FUZZ_CHECK(after == expected, context());

    const std::vector<int> now = Matches(list, name);
    if (name.find(':') != std::string::npos) {
        // A name with a colon never matches, so every set appends.
        FUZZ_CHECK(now.empty(), context());
    } else if (value.empty()) {
        FUZZ_CHECK(now.size() + 1 == std::max<std::size_t>(matched.size(), 1), context());
        FUZZ_CHECK(matched.size() != 1 || list.IndexOfHeaderName(name) == -1, context());
    } else {
        FUZZ_CHECK(now.size() == std::max<std::size_t>(matched.size(), 1), context());
        const int i = list.IndexOfHeaderName(name);
        FUZZ_CHECK(i != -1 && list[i] == line, context());
    }
}

void Step(FuzzedDataProvider& in, TExStringList& list) {
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
        case 0: {  // a header line, or any text
            if (list.Count() >= kMaxLines) break;
            const std::string line = in.ConsumeBool() ? PickName(in) + ":" + in.ConsumeRandomLengthString(8)
                                                      : in.ConsumeRandomLengthString(24);
            const int count = list.Count();
            const int at = list.Add(line);
            FUZZ_CHECK(at >= 0 && at < list.Count() && rtl::AnsiCompareText(list[at], line) == 0, Dump(list));
            if (list.Sorted()) {
                CheckSortedOrder(list);
            } else {
                FUZZ_CHECK(list.Count() == count + 1 && at == count && list[at] == line, Dump(list));
            }
            break;
        }
        case 1:
        case 2:
            if (list.Count() < kMaxLines) SetValue(list, PickName(in), PickValue(in));
            break;
        case 3:
            SetValue(list, PickName(in), "");
            break;
        case 4:
            CheckLookup(list, PickName(in));
            break;
        case 5: {
            const bool sorted = !list.Sorted();
            std::vector<std::string> before = Lines(list);
            list.SetSorted(sorted);
            FUZZ_CHECK(list.Sorted() == sorted, Dump(list));
            std::vector<std::string> after = Lines(list);
            if (sorted) CheckSortedOrder(list);
            std::sort(before.begin(), before.end());
            std::sort(after.begin(), after.end());
            FUZZ_CHECK(before == after, "sorting changed the lines: " + Dump(list));
            break;
        }
        case 6:
            if (list.Count() > 0) {
                const int i = in.ConsumeIntegralInRange<int>(0, list.Count() - 1);
                std::vector<std::string> expected = Lines(list);
                expected.erase(expected.begin() + i);
                list.Delete(i);
                FUZZ_CHECK(Lines(list) == expected, Dump(list));
            }
            break;
        case 7: {
            TExStringList copy;
            copy.Assign(list);
            FUZZ_CHECK(copy == list && !copy.Sorted(), Dump(copy));
            const std::string name = PickName(in);
            if (!list.Sorted()) FUZZ_CHECK(copy.IndexOfHeaderName(name) == list.IndexOfHeaderName(name), Dump(list));
            break;
        }
        case 8:
            if (in.ConsumeIntegralInRange<int>(0, 7) == 0) list.Clear();
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    TExStringList list;
    for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) Step(in, list);
    return 0;
}
