#include "codec/ZelExtstr.h"

#include "rtl/SysUtils.h"

namespace codec {

int TExStringList::IndexOfHeaderName(const std::string& Name) const {
    if (!Sorted()) {
        for (int i = 0; i < Count(); ++i) {
            const std::string& line = Lines[static_cast<std::size_t>(i)];
            const std::size_t colon = line.find(':');
            // Header names are ASCII: compared without the locale's collation.
            if (colon != std::string::npos && rtl::SameText(line.substr(0, colon), Name)) return i;
        }
        return -1;
    }
    // A line without ":" has an empty name here, so the halving still sees a
    // name on every line.
    int lo = 0, hi = Count() - 1;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const std::string& line = Lines[static_cast<std::size_t>(mid)];
        const std::size_t colon = line.find(':');
        const int c = rtl::AnsiCompareText(colon == std::string::npos ? std::string() : line.substr(0, colon), Name);
        if (c == 0) return mid;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return -1;
}

void TExStringList::SetHeaderValue(const std::string& Name, const std::string& Value) {
    const int i = IndexOfHeaderName(Name);
    if (Value.empty()) {
        if (i != -1) Delete(i);
        return;
    }
    const std::string line = Name + ": " + Value;
    if (Sorted()) {
        // A sorted list cannot replace a line in place: drop the old line and
        // add the new one at its sorted place (Add ignores an exact duplicate).
        if (i != -1) Delete(i);
        Add(line);
    } else if (i == -1) {
        Add(line);
    } else {
        Put(i, line);
    }
}

}  // namespace codec
