// The home country, "本国国家代码": the country calling code a fax number
// typed without one belongs to (010-12345678 in China). 0 is none: such a
// number is then refused with a text that asks for the country code.
#pragma once

namespace app {

// From the locale's territory: 86 for zh_CN; 0 for C and POSIX, which name none.
int DefaultHomeCountry();

// A country calling code libphonenumber knows, or 0.
bool IsHomeCountry(int code);

}  // namespace app
