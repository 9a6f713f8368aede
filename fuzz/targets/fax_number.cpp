// fuzz-link: fax
//
// The fax number field on arbitrary bytes: ParseFaxNumber, then for whatever
// parses the coverage check and the gateway address. A country or area part
// that is not an integer raises rtl::EConvertError naming that part; any other
// exception escaping is a fault and ends the run as a crash.
//
// Then the number front on the same bytes, with no home country, China's and
// the US's: a text in the design's form gets exactly the design's result;
// any other reading is a number the design's parser reads back to itself,
// whose gateway addresses hold nothing a label or local part cannot.
#include "FuzzCheck.h"

#include "fax/Coverage.h"
#include "fax/FaxNumber.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"
#include "rtl/SysUtils.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

using fuzz::Escaped;

// The three texts between the first two hyphens, split here without the
// parser's help so its results can be checked against them.
struct Parts {
    std::string Country, Area, Subscriber;
};

bool SplitAtHyphens(const std::string& text, Parts& parts) {
    const std::size_t first = text.find('-');
    if (first == std::string::npos) return false;
    const std::size_t second = text.find('-', first + 1);
    if (second == std::string::npos) return false;
    parts.Country = text.substr(0, first);
    parts.Area = text.substr(first + 1, second - first - 1);
    parts.Subscriber = text.substr(second + 1);
    return true;
}

// A normalised code: what a 32-bit integer prints as. The parts hold no
// hyphen, so no code can be negative.
bool IsCanonicalCode(const std::string& code) {
    if (code.empty() || code.size() > 10) return false;
    if (code.find_first_not_of("0123456789") != std::string::npos) return false;
    if (code.size() > 1 && code[0] == '0') return false;
    return code.size() < 10 || code <= "2147483647";
}

// A part the integer conversion accepts: blanks, an optional plus sign, then
// only digits, at most 2147483647. (No part holds a hyphen, so no minus sign.)
bool IsIntegerText(const std::string& text) {
    std::size_t i = text.find_first_not_of(' ');
    if (i != std::string::npos && text[i] == '+') ++i;
    if (i == std::string::npos || i >= text.size()) return false;
    if (text.find_first_not_of("0123456789", i) != std::string::npos) return false;
    const std::size_t first = std::min(text.find_first_not_of('0', i), text.size());
    const std::string value = text.substr(first);
    return value.size() < 10 || (value.size() == 10 && value <= "2147483647");
}

// The digits a typed part stands for, without blanks, sign or leading zeros.
std::string Digits(const std::string& typed) {
    std::string digits;
    for (char c : typed)
        if (c >= '0' && c <= '9' && !(digits.empty() && c == '0')) digits += c;
    return digits.empty() ? "0" : digits;
}

bool IsValidationMessage(const std::string& text) {
    return text == fax::kMsgEmptyNumber || text == fax::kMsgNoHyphenBeforeArea || text == fax::kMsgNoHyphen ||
           text == fax::kMsgNoHyphenBeforeSubscriber || text == fax::kMsgBadSubscriber;
}

// What a domain label may hold: letters, digits, hyphens.
bool IsLabelText(const std::string& text) {
    return text.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-") == std::string::npos;
}

const rtl::TStringList& Coverage() {
    static const rtl::TStringList list = fax::CoverageList();
    return list;
}

bool ListHasLine(const std::string& line) {
    for (const std::string& l : Coverage())
        if (l == line) return true;
    return false;
}

void CheckParsed(const std::string& text, const fax::FaxNumber& number) {
    Parts parts;
    FUZZ_CHECK(SplitAtHyphens(text, parts), "parsed without two hyphens: " + Escaped(text));
    FUZZ_CHECK(parts.Country.size() <= 5, "country part longer than five: " + Escaped(text));
    FUZZ_CHECK(IsIntegerText(parts.Country) && IsIntegerText(parts.Area), "parsed bad codes: " + Escaped(text));
    FUZZ_CHECK(IsCanonicalCode(number.Country), "country " + Escaped(number.Country) + " from " + Escaped(text));
    FUZZ_CHECK(IsCanonicalCode(number.Area), "area " + Escaped(number.Area) + " from " + Escaped(text));
    FUZZ_CHECK(number.Country == Digits(parts.Country), "country " + number.Country + " from " + Escaped(text));
    FUZZ_CHECK(number.Area == Digits(parts.Area), "area " + number.Area + " from " + Escaped(text));
    FUZZ_CHECK(number.Subscriber == parts.Subscriber, "subscriber " + Escaped(number.Subscriber));
    FUZZ_CHECK(IsLabelText(number.Subscriber), "subscriber outside a domain label " + Escaped(number.Subscriber));

    const std::string address = fax::GatewayAddress(number);
    FUZZ_CHECK(address == fax::kGatewayLocalPart + number.Country + number.Area + number.Subscriber +
                              fax::kGatewayDomainSuffix,
               "address " + Escaped(address));

    const bool covered = fax::IsCovered(Coverage(), number);
    // An exact entry line for the codes must admit the number; a number that
    // is admitted must be named by some line.
    const std::string areaKey = "+" + number.Country + "-" + number.Area;
    const std::string countryKey = "+" + number.Country + "-comp";
    if (ListHasLine("                " + areaKey) || ListHasLine("                " + countryKey + "lete coverage"))
        FUZZ_CHECK(covered, "listed but not covered: " + Escaped(text));
    if (covered) {
        bool named = false;
        for (const std::string& l : Coverage())
            named = named || l.find(areaKey) != std::string::npos || l.find(countryKey) != std::string::npos;
        FUZZ_CHECK(named, "covered without a line naming it: " + Escaped(text));
    }

    // Blanks, a plus sign and leading zeros in the codes change nothing: the
    // normalised number typed again parses to itself.
    if (number.Country.size() <= 5) {
        const std::string again = number.Country + "-" + number.Area + "-" + number.Subscriber;
        const fax::FaxParseResult r = fax::ParseFaxNumber(again);
        FUZZ_CHECK(r.Ok && r.Number.Country == number.Country && r.Number.Area == number.Area &&
                       r.Number.Subscriber == number.Subscriber,
                   "normalised number does not parse to itself: " + Escaped(again));
        FUZZ_CHECK(fax::IsCovered(Coverage(), r.Number) == covered, "coverage changed: " + Escaped(again));
    }
}

void CheckRefused(const std::string& text, const std::string& failure) {
    FUZZ_CHECK(IsValidationMessage(failure), "unknown failure text " + Escaped(failure));
    const std::size_t first = text.find('-');
    const char* expected = text.empty()                 ? fax::kMsgEmptyNumber
                           : first == std::string::npos ? fax::kMsgNoHyphen
                           : first >= 6                 ? fax::kMsgNoHyphenBeforeArea
                                                        : fax::kMsgNoHyphenBeforeSubscriber;
    // Two hyphens, a short country part and good codes are refused only for
    // a subscriber part a domain label cannot hold.
    Parts parts;
    if (SplitAtHyphens(text, parts) && first < 6) {
        FUZZ_CHECK(!IsLabelText(parts.Subscriber) && failure == fax::kMsgBadSubscriber,
                   "refused a well-formed number: " + Escaped(text));
        return;
    }
    FUZZ_CHECK(failure == expected, "wrong failure text for " + Escaped(text));
}

void CheckConvertError(const std::string& text, const std::string& message) {
    Parts parts;
    FUZZ_CHECK(SplitAtHyphens(text, parts) && parts.Country.size() <= 5,
               "conversion error before the split was valid: " + Escaped(text));
    FUZZ_CHECK(!IsIntegerText(parts.Area) || !IsIntegerText(parts.Country), "refused good codes: " + Escaped(text));
    // The area part is converted first, so a bad area is the one named.
    const std::string& bad = IsIntegerText(parts.Area) ? parts.Country : parts.Area;
    FUZZ_CHECK(message == "'" + rtl::QuotedHead(bad) + "' is not a valid integer value",
               "message " + Escaped(message) + " for " + Escaped(text));
}

bool IsFrontFailure(const std::string& text) {
    for (const auto fault : {fax::TNumberFault::Characters, fax::TNumberFault::NeedCountry, fax::TNumberFault::UnknownCountry,
                             fax::TNumberFault::TooShort, fax::TNumberFault::TooLong, fax::TNumberFault::NotANumber})
        if (text == fax::NumberFaultText(fault)) return true;
    return false;
}

bool SameNumber(const fax::FaxNumber& a, const fax::FaxNumber& b) {
    return a.Country == b.Country && a.Area == b.Area && a.Subscriber == b.Subscriber;
}

void CheckFront(const std::string& text, int home, bool designThrew, const fax::FaxParseResult& design) {
    fax::TNumberReading reading;
    try {
        reading = fax::ReadFaxNumber(text, home);
    } catch (const rtl::EConvertError&) {
        FUZZ_CHECK(designThrew, "the front raised where the design's parser did not: " + Escaped(text));
        return;
    }
    Parts parts;
    const bool designShape = SplitAtHyphens(text, parts) && parts.Country.size() <= 5;
    if (designShape) {
        FUZZ_CHECK(!designThrew && reading.Ok == design.Ok && reading.Failure == design.Failure &&
                       SameNumber(reading.Number, design.Number),
                   "the front changed a number in the design's form: " + Escaped(text));
        return;
    }
    if (!reading.Ok) {
        FUZZ_CHECK(IsFrontFailure(reading.Failure) || reading.Failure == design.Failure,
                   "unknown failure text " + Escaped(reading.Failure) + " for " + Escaped(text));
        return;
    }
    if (design.Ok && !designThrew) {
        FUZZ_CHECK(reading.Failure.empty() && SameNumber(reading.Number, design.Number),
                   "the front changed what the design reads: " + Escaped(text));
        return;
    }
    const fax::FaxNumber& n = reading.Number;
    FUZZ_CHECK(IsCanonicalCode(n.Country) && n.Country.size() <= 3, "front country " + Escaped(n.Country));
    FUZZ_CHECK(n.Subscriber.find_first_not_of("0123456789") == std::string::npos && !n.Subscriber.empty(),
               "front subscriber " + Escaped(n.Subscriber));
    FUZZ_CHECK(reading.National.find_first_not_of("0123456789") == std::string::npos, "national " + Escaped(reading.National));
    if (n.Area.empty()) {
        FUZZ_CHECK(reading.DesignForm == n.Country + "--" + n.Subscriber && reading.National == n.Subscriber,
                   "number without an area " + Escaped(reading.DesignForm));
    } else {
        const fax::FaxParseResult again = fax::ParseFaxNumber(reading.DesignForm);
        FUZZ_CHECK(again.Ok && SameNumber(again.Number, n), "design form not read back: " + Escaped(reading.DesignForm));
    }
    for (const char* pattern : {"{number}@fax.example.org", "{e164}@fax.example.org", "fax@{national}.example.org"}) {
        const std::string address = fax::GatewayAddressOf(reading, pattern);
        const std::size_t at = address.find('@');
        FUZZ_CHECK(at != std::string::npos && address.find('@', at + 1) == std::string::npos &&
                       address.find_first_not_of("+0123456789abcdefghijklmnopqrstuvwxyz.@") == std::string::npos,
                   "gateway address " + Escaped(address));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    fax::FaxParseResult result;
    bool threw = false;
    try {
        result = fax::ParseFaxNumber(text);
    } catch (const rtl::EConvertError& e) {
        CheckConvertError(text, e.Message);
        threw = true;
    }
    for (const int home : {0, 86, 1}) CheckFront(text, home, threw, result);
    if (threw) return 0;
    if (result.Ok) {
        FUZZ_CHECK(result.Failure.empty(), "failure text on success: " + Escaped(text));
        CheckParsed(text, result.Number);
    } else {
        CheckRefused(text, result.Failure);
    }
    return 0;
}
