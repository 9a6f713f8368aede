// The number front: fax numbers as people write them ("+1 (212) 123-4567",
// "0012121234567", "010-12345678"), read with libphonenumber and written in
// the design's form (country-area-subscriber), which then goes through the
// design's parser, coverage check and gateway address. A text already in the
// design's form goes to the design's parser untouched.
#pragma once

#include "fax/FaxNumber.h"

#include <string>

namespace fax {

// What the front made of the field's text.
struct TNumberReading {
    bool Ok = false;
    std::string Failure;     // GB2312; set when not Ok
    FaxNumber Number;        // what the coverage check and the gateway address take
    std::string DesignForm;  // the text the design's parser read ("1-212-1234567"); "1--8005551234" without an area
    std::string National;    // the national significant number, digits only
    std::string Shown;       // the number as understood, "+1 212-123-4567" (ASCII)
    std::string PlaceUtf8;   // where it is, from libphonenumber's geocoder (UTF-8, display only); may be ""
};

// Reads the field's text (GB2312). homeCountry is the country calling code a
// number without one belongs to; 0 for none, and then such a number is
// refused. A text in the design's form (a hyphen within its first six
// characters and another after it), or one that does not begin like a phone
// number (a digit, "+" or "("), gets the design parser's result, its
// rtl::EConvertError included.
TNumberReading ReadFaxNumber(const std::string& text, int homeCountry);

// The failure texts of the front, to compare with (GB2312).
enum class TNumberFault { Characters, NeedCountry, UnknownCountry, TooShort, TooLong, NotANumber };
std::string NumberFaultText(TNumberFault fault);

// The country calling code of a region ("CN" -> 86), 0 for an unknown one.
int CountryCodeOfRegion(const std::string& region);
// A country calling code libphonenumber knows.
bool IsCountryCode(int code);

// Starts loading the geocoder on a thread of its own (some 5 ms of
// relocations), while the caller reads settings and its first number: for a
// run that will name a place.
void LoadPlacesAhead();

// The place an entry of the coverage list stands for ("+1-212", "+44-complete
// coverage"), in UTF-8, or "".
std::string PlaceOfCoverageEntry(const std::string& entry);

}  // namespace fax
