#include "fax/Coverage.h"

namespace fax {

namespace {

// "            传真范围列表                "
constexpr char kTitleLine[] = "            \xb4\xab\xd5\xe6\xb7\xb6\xce\xa7\xc1\xd0\xb1\xed                ";
// "注意：在输入对方传真号码时，要按照以下号码的格式输入。"
constexpr char kNoteLine[] =
    "\xd7\xa2\xd2\xe2\xa3\xba\xd4\xda\xca\xe4\xc8\xeb\xb6\xd4\xb7\xbd\xb4\xab\xd5\xe6\xba\xc5"
    "\xc2\xeb\xca\xb1\xa3\xac\xd2\xaa\xb0\xb4\xd5\xd5\xd2\xd4\xcf\xc2\xba\xc5\xc2\xeb\xb5\xc4"
    "\xb8\xf1\xca\xbd\xca\xe4\xc8\xeb\xa1\xa3";

constexpr char kEntryIndent[] = "                ";  // 16 blanks

// Keys in display order; kGroupEnd closes one country's group and becomes the
// empty line between groups. "+94-complete coverage " keeps its trailing blank:
// the page has always shown it that way.
constexpr const char* kGroupEnd = nullptr;
constexpr const char* kKeys[] = {
    "+1-201", "+1-202", "+1-212", "+1-214", "+1-240", "+1-254", "+1-281", "+1-301", "+1-305", "+1-312",
    "+1-313", "+1-314", "+1-330", "+1-340", "+1-402", "+1-403", "+1-412", "+1-415", "+1-416", "+1-423",
    "+1-502", "+1-503", "+1-510", "+1-516", "+1-519", "+1-562", "+1-603", "+1-604", "+1-612", "+1-613",
    "+1-614", "+1-617", "+1-626", "+1-630", "+1-646", "+1-701", "+1-703", "+1-705", "+1-706", "+1-707",
    "+1-708", "+1-713", "+1-714", "+1-718", "+1-757", "+1-765", "+1-773", "+1-781", "+1-800", "+1-801",
    "+1-810", "+1-812", "+1-813", "+1-816", "+1-817", "+1-819", "+1-847", "+1-860", "+1-888", "+1-902",
    "+1-903", "+1-905", "+1-908", "+1-909", "+1-913", "+1-917", "+1-919", "+1-940", "+1-972", "+1-973", kGroupEnd,
    "+27-31", "+27-322", "+27-325", "+27-80", kGroupEnd,
    "+30-1", "+30-31", "+30-321", "+30-661", "+30-81", "+30-831", "+30-843", "+30-897", kGroupEnd,
    "+31-complete coverage", kGroupEnd,
    "+359-2", "+359-32", "+359-42", "+359-52", "+359-58", "+359-64", "+359-66", kGroupEnd,
    "+378-complete coverage", kGroupEnd,
    "+380-572", kGroupEnd,
    "+385-1", "+385-20", "+385-21", "+385-31", kGroupEnd,
    "+39-50", "+39-541", kGroupEnd,
    "+40-1", kGroupEnd,
    "+44-complete coverage", kGroupEnd,
    "+46-complete coverage", kGroupEnd,
    "+504-5", kGroupEnd,
    "+505-complete coverage", kGroupEnd,
    "+53-7", kGroupEnd,
    "+55-11", "+55-192", "+55-21", "+55-92", kGroupEnd,
    "+61-293", "+61-294", "+61-295", "+61-35", "+61-53", "+61-8-89", kGroupEnd,
    "+62-31", kGroupEnd,
    "+64-4", "+64-508", "+64-75", "+64-9", kGroupEnd,
    "+65-complete coverage", kGroupEnd,
    "+852-complete coverage", kGroupEnd,
    "+886-3", "+886-2", "+886-35", "+886-37", "+886-39", "+886-7", kGroupEnd,
    "+90-212", "+90-216", "+90-232", "+90-258", "+90-236", "+90-252", "+90-276", "+90-256", "+90-272",
    "+90-274", kGroupEnd,
    "+91-11", "+91-22", "+91-44", kGroupEnd,
    "+94-complete coverage ", kGroupEnd,
    "+961-complete coverage",
};

rtl::TStringList BuildCoverageList() {
    rtl::TStringList list;
    list.Add(kTitleLine);
    list.Add("");
    list.Add(kNoteLine);
    list.Add("");
    for (const char* key : kKeys) list.Add(key == kGroupEnd ? std::string() : kEntryIndent + std::string(key));
    return list;
}

bool AnyLineHolds(const rtl::TStringList& lines, const std::string& key) {
    for (const std::string& line : lines)
        if (line.find(key) != std::string::npos) return true;
    return false;
}

// A number without an area code is the number front's, never the design
// parser's: its whole country is listed, or an area its national number
// begins with ("+1-800" for 1-800-5551234).
bool CoversNationalNumber(const rtl::TStringList& lines, const FaxNumber& number) {
    const std::string key = "+" + number.Country + "-";
    for (const std::string& line : lines) {
        const std::size_t at = line.find(key);
        if (at == std::string::npos) continue;
        const std::string rest = line.substr(at + key.size());
        if (rest.rfind("comp", 0) == 0) return true;
        std::string area;
        for (std::size_t i = 0; i < rest.size() && ((rest[i] >= '0' && rest[i] <= '9') || rest[i] == '-'); ++i)
            if (rest[i] != '-') area += rest[i];
        if (!area.empty() && number.Subscriber.rfind(area, 0) == 0) return true;
    }
    return false;
}

}  // namespace

rtl::TStringList CoverageList() {
    static const rtl::TStringList list = BuildCoverageList();
    return list;
}

bool IsCovered(const rtl::TStringList& lines, const FaxNumber& number) {
    if (number.Area.empty()) return CoversNationalNumber(lines, number);
    return AnyLineHolds(lines, "+" + number.Country + "-" + number.Area) ||
           AnyLineHolds(lines, "+" + number.Country + "-comp");
}

}  // namespace fax
