#include "fax/NumberFront.h"

#include "platform/CodePage.h"
#include "platform/Modules.h"

#include <phonenumbers/phonenumberutil.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <optional>
#include <string_view>
#include <thread>

namespace fax {
namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

const PhoneNumberUtil& Util() { return *PhoneNumberUtil::GetInstance(); }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The design's parser gets past its hyphen tests: a hyphen within the first
// six characters and another after it.
bool InDesignShape(const std::string& text) {
    const std::size_t first = text.find('-');
    return first != std::string::npos && first < 6 && text.find('-', first + 1) != std::string::npos;
}

// The character at i as the plain ASCII a dial string holds, moving i past
// it; 0 for anything else. GB2312's row 3 is full-width ASCII, as a Chinese
// input method types digits and brackets; the ideographic space and the dash
// count as their ASCII forms.
char DialCharAt(const std::string& gb, std::size_t& i) {
    const auto signOrDigit = [](char c) { return IsDigit(c) || std::string_view("+-.()/").find(c) != std::string_view::npos; };
    const char c = gb[i++];
    if (c == ' ' || c == '\t') return c;
    if (static_cast<unsigned char>(c) < 0x80) return signOrDigit(c) ? c : 0;
    if (i >= gb.size()) return 0;
    const auto lead = static_cast<unsigned char>(c), trail = static_cast<unsigned char>(gb[i++]);
    if (lead == 0xa1 && trail == 0xa1) return ' ';
    if (lead == 0xa1 && trail == 0xaa) return '-';
    if (lead != 0xa3 || trail < 0xa0) return 0;
    const char ascii = static_cast<char>(trail - 0x80);
    return signOrDigit(ascii) ? ascii : 0;
}

bool BeginsLikeAPhoneNumber(const std::string& gb) {
    for (std::size_t i = 0; i < gb.size();) {
        const char c = DialCharAt(gb, i);
        if (c != ' ' && c != '\t') return IsDigit(c) || c == '+' || c == '(';
    }
    return false;
}

// The text as ASCII, or false when it holds a letter or another sign.
bool DialString(const std::string& gb, std::string& ascii) {
    for (std::size_t i = 0; i < gb.size();) {
        const char c = DialCharAt(gb, i);
        if (c == 0) return false;
        ascii += c;
    }
    return true;
}

std::string Utf8Of(const icu::UnicodeString& text) {
    std::string out;
    return text.toUTF8String(out);
}

std::string CountryName(const std::string& region, const char* language) {
    icu::UnicodeString name;
    return Utf8Of(icu::Locale("", region.c_str()).getDisplayCountry(icu::Locale(language), name));
}

constexpr char kGeocoderModule[] = "faxmail-geocoder.so";

using TDescribe = void (*)(const PhoneNumber*, const char*, std::string*);

// The geocoder's function, from its module (Geocoder.cpp), loaded the first
// time a place is asked for; nullptr without the module.
TDescribe Describer() {
    static const auto describe = reinterpret_cast<TDescribe>(Win::ModuleFunction(kGeocoderModule, "faxmail_describe_number"));
    return describe;
}

// The geocoder's description of the number in a language; "" without it.
std::string Described(const PhoneNumber& number, const char* language) {
    std::string text;
    if (const TDescribe describe = Describer()) describe(&number, language, &text);
    return text;
}

std::string RegionOf(const PhoneNumber& number) {
    std::string region;
    Util().GetRegionCodeForNumber(number, &region);
    if (region.empty() || region == "ZZ") Util().GetRegionCodeForCountryCode(number.country_code(), &region);
    return region;
}

// Chinese where the geocoder's data has the area; otherwise the country in
// Chinese and the area in English when it is known.
std::string PlaceOf(const PhoneNumber& number, const std::string& region) {
    if (region == "ZZ" || region == "001") return {};
    const std::string countryZh = CountryName(region, "zh");
    const std::string zh = Described(number, "zh");
    if (!zh.empty() && zh != countryZh) return zh;
    const std::string en = Described(number, "en");
    if (!en.empty() && en != CountryName(region, "en")) return countryZh + " " + en;
    return countryZh;
}

std::string Shown(const PhoneNumber& number) {
    std::string text;
    Util().Format(number, PhoneNumberUtil::INTERNATIONAL, &text);
    return text;
}

TNumberReading Refused(TNumberFault fault, std::optional<TNumberFault>& seen) {
    seen = fault;
    TNumberReading reading;
    reading.Failure = NumberFaultText(fault);
    return reading;
}

std::string WithoutHyphens(const std::string& text) {
    std::string out;
    for (const char c : text)
        if (c != '-') out += c;
    return out;
}

// A number the design's parser read, described as the front describes its own.
TNumberReading FromDesign(const std::string& text) {
    TNumberReading reading;
    const FaxParseResult parsed = ParseFaxNumber(text);
    reading.Ok = parsed.Ok;
    reading.Failure = parsed.Failure;
    if (!parsed.Ok) return reading;
    const FaxNumber& n = parsed.Number;
    reading.Number = n;
    reading.DesignForm = text;
    reading.National = WithoutHyphens(n.Area + n.Subscriber);
    reading.Shown = "+" + n.Country + " " + n.Area + "-" + n.Subscriber;
    const bool digits = reading.National.find_first_not_of("0123456789") == std::string::npos;
    if (n.Country.size() <= 3 && IsCountryCode(std::stoi(n.Country)) && digits && reading.National.size() <= 17) {
        PhoneNumber number;
        number.set_country_code(std::stoi(n.Country));
        number.set_national_number(std::stoull(reading.National));
        reading.Shown = Shown(number);
        reading.PlaceUtf8 = PlaceOf(number, RegionOf(number));
    }
    return reading;
}

TNumberFault FaultOf(PhoneNumberUtil::ErrorType error, const std::string& dial) {
    switch (error) {
        case PhoneNumberUtil::INVALID_COUNTRY_CODE_ERROR:
            return TNumberFault::UnknownCountry;
        case PhoneNumberUtil::TOO_LONG_NSN:
            return TNumberFault::TooLong;
        case PhoneNumberUtil::NOT_A_NUMBER:
            if (dial.find_first_of("0123456789") != dial.find_last_of("0123456789")) return TNumberFault::NotANumber;
            break;
        default:
            break;
    }
    return TNumberFault::TooShort;
}

std::optional<TNumberFault> LengthFault(PhoneNumberUtil::ValidationResult result) {
    switch (result) {
        case PhoneNumberUtil::IS_POSSIBLE:
            return std::nullopt;
        case PhoneNumberUtil::INVALID_COUNTRY_CODE:
            return TNumberFault::UnknownCountry;
        case PhoneNumberUtil::TOO_LONG:
            return TNumberFault::TooLong;
        case PhoneNumberUtil::INVALID_LENGTH:
            return TNumberFault::NotANumber;
        case PhoneNumberUtil::IS_POSSIBLE_LOCAL_ONLY:  // a local number needs its area code
        case PhoneNumberUtil::TOO_SHORT:
            break;
    }
    return TNumberFault::TooShort;
}

}  // namespace

std::string NumberFaultText(TNumberFault fault) {
    const char* cause = "";
    switch (fault) {
        case TNumberFault::Characters:
            cause = "号码中只能有数字、空格和 + - . ( ) /，不能有字母或其它符号。";
            break;
        case TNumberFault::NeedCountry:
            cause = "请在号码前加上国家代码（如 +86 或 0086），或在“发送设置”中填写本国国家代码。";
            break;
        case TNumberFault::UnknownCountry:
            cause = "您输入的国家代码不存在。";
            break;
        case TNumberFault::TooShort:
            cause = "您输入的号码太短。";
            break;
        case TNumberFault::TooLong:
            cause = "您输入的号码太长。";
            break;
        case TNumberFault::NotANumber:
            cause = "这不是一个有效的电话号码。";
            break;
    }
    return Win::Utf8ToGb2312(std::string("传真号码的形式必须为：001-212-1234567，") + cause);
}

int CountryCodeOfRegion(const std::string& region) { return Util().GetCountryCodeForRegion(region); }

bool IsCountryCode(int code) {
    std::string region;
    Util().GetRegionCodeForCountryCode(code, &region);
    return region != "ZZ";
}

namespace {

// The front's reading of a text outside the design's shape; Fault says why it refused.
TNumberReading ReadByFront(const std::string& text, int homeCountry, std::optional<TNumberFault>& fault) {
    std::string dial;
    if (!DialString(text, dial)) return Refused(TNumberFault::Characters, fault);
    const std::size_t start = dial.find_first_not_of(" \t");
    // "00" is the international prefix of most of the world, whatever the
    // home country's own (which libphonenumber knows: 011 for the US).
    if (dial.compare(start, 2, "00") == 0) {
        dial.erase(start, 1);  // (replace() here trips a false -Wrestrict at -O2)
        dial[start] = '+';
    }
    std::string region = "ZZ";
    if (homeCountry > 0) Util().GetRegionCodeForCountryCode(homeCountry, &region);
    if (dial[start] != '+' && region == "ZZ") return Refused(TNumberFault::NeedCountry, fault);

    PhoneNumber number;
    const PhoneNumberUtil::ErrorType error = Util().Parse(dial, region, &number);
    if (error != PhoneNumberUtil::NO_PARSING_ERROR) return Refused(FaultOf(error, dial), fault);
    if (const auto length = LengthFault(Util().IsPossibleNumberWithReason(number))) return Refused(*length, fault);
    // A number of a possible length that is not in an assigned range (the
    // 212-123-4567 of the examples) is taken when one of its country's
    // formats groups it, its national destination code as the area.
    const bool valid = Util().IsValidNumber(number);
    if (!valid && Util().GetLengthOfNationalDestinationCode(number) == 0) {
        const auto length =
            LengthFault(Util().IsPossibleNumberForTypeWithReason(number, PhoneNumberUtil::FIXED_LINE_OR_MOBILE));
        return Refused(length ? *length : TNumberFault::NotANumber, fault);
    }

    TNumberReading reading;
    Util().GetNationalSignificantNumber(number, &reading.National);
    const std::size_t area = static_cast<std::size_t>(valid ? Util().GetLengthOfGeographicalAreaCode(number)
                                                            : Util().GetLengthOfNationalDestinationCode(number));
    const std::string country = std::to_string(number.country_code());
    const std::string areaDigits = area < reading.National.size() ? reading.National.substr(0, area) : std::string();
    const std::string subscriber = reading.National.substr(areaDigits.size());
    reading.DesignForm = country + "-" + areaDigits + "-" + subscriber;
    if (areaDigits.empty()) {
        // The design's parser reads an empty area as a bad integer: a number
        // without an area code is put together here, all of it the subscriber.
        reading.Number = FaxNumber{country, "", subscriber};
        reading.Ok = true;
    } else {
        const FaxParseResult parsed = ParseFaxNumber(reading.DesignForm);
        reading.Ok = parsed.Ok;
        reading.Failure = parsed.Failure;
        reading.Number = parsed.Number;
    }
    reading.Shown = Shown(number);
    reading.PlaceUtf8 = PlaceOf(number, RegionOf(number));
    return reading;
}

}  // namespace

TNumberReading ReadFaxNumber(const std::string& text, int homeCountry) {
    if (InDesignShape(text) || !BeginsLikeAPhoneNumber(text)) return FromDesign(text);
    std::optional<TNumberFault> fault;
    TNumberReading reading = ReadByFront(text, homeCountry, fault);
    // A text in the design's own form (digits and hyphens) that the front
    // cannot read is judged by the design's parser, with its texts
    // ("000001-1-2": no hyphen before the area). A missing country code keeps
    // the front's advice: the design has no text for it.
    const bool designForm = text.find('-') != std::string::npos && text.find_first_not_of("0123456789-") == std::string::npos;
    if (fault && *fault != TNumberFault::NeedCountry && designForm) {
        const FaxParseResult design = ParseFaxNumber(text);
        if (!design.Ok) reading.Failure = design.Failure;
    }
    return reading;
}

void LoadPlacesAhead() {
    std::thread([] { Describer(); }).detach();
}

std::string PlaceOfCoverageEntry(const std::string& entry) {
    const std::size_t plus = entry.find('+');
    const std::size_t hyphen = entry.find('-', plus);
    if (plus == std::string::npos || hyphen == std::string::npos || hyphen - plus < 2 || hyphen - plus > 4) return {};
    const std::string code = entry.substr(plus + 1, hyphen - plus - 1);
    if (code.find_first_not_of("0123456789") != std::string::npos || !IsCountryCode(std::stoi(code))) return {};
    std::string region;
    Util().GetRegionCodeForCountryCode(std::stoi(code), &region);
    std::string area;
    for (std::size_t i = hyphen + 1; i < entry.size() && (IsDigit(entry[i]) || entry[i] == '-'); ++i)
        if (entry[i] != '-') area += entry[i];
    if (area.empty() || area.size() > 12) return CountryName(region, "zh");
    // The area alone is no number: the first filling that makes a valid one
    // names the country (+1-416 is Canada's); the area names the place.
    PhoneNumber number;
    number.set_country_code(std::stoi(code));
    number.set_national_number(std::stoull(area));
    for (std::string filled = area; filled.size() <= 15; filled += "2") {
        PhoneNumber probe = number;
        probe.set_national_number(std::stoull(filled));
        if (Util().IsValidNumber(probe)) {
            region = RegionOf(probe);
            break;
        }
    }
    return PlaceOf(number, region);
}

}  // namespace fax
