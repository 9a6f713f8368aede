// fuzz-link: fax
//
// The saved settings' values from any text: what each parser accepts is
// exactly the text its writer produces for the value (so no other spelling,
// such as "STARTTLS" or "0025", is ever taken for a value), and a gateway
// pattern that is accepted holds exactly one of its placeholders.
#include "FuzzCheck.h"

#include "fax/FaxNumber.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"
#include "fax/SettingValues.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz::Escaped;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto port = fax::PortSetting(text)) {
        FUZZ_CHECK(*port >= 1 && *port <= 65535, "port out of range from " + Escaped(text));
        FUZZ_CHECK(std::to_string(*port) == text, "port " + std::to_string(*port) + " from " + Escaped(text));
    }
    if (const auto security = fax::SecuritySetting(text))
        FUZZ_CHECK(fax::SecuritySettingText(*security) == text, "protection from " + Escaped(text));
    if (const auto flag = fax::FlagSetting(text)) FUZZ_CHECK((*flag ? "true" : "false") == text, "flag from " + Escaped(text));
    if (const auto home = fax::HomeCountrySetting(text))
        FUZZ_CHECK(std::to_string(*home) == text && (*home == 0 || fax::IsCountryCode(*home)), "home country from " + Escaped(text));
    if (fax::GatewayPatternProblem(text).empty()) {
        std::size_t placeholders = 0;
        for (const char* placeholder : {fax::kGatewayNumberPlaceholder, fax::kGatewayE164Placeholder, fax::kGatewayNationalPlaceholder})
            for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + 1)) ++placeholders;
        FUZZ_CHECK(placeholders == 1, "pattern accepted without exactly one placeholder: " + Escaped(text));
    }
    return 0;
}
