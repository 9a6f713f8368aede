#include "app/NumberEcho.h"

#include "app/GbText.h"
#include "fax/Coverage.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"
#include "platform/CodePage.h"
#include "rtl/SysUtils.h"

namespace app {

TNumberEcho EchoNumber(const QString& typed, int homeCountry, const rtl::TStringList& coverage,
                       const std::string& gatewayPattern) {
    TNumberEcho echo;
    rtl::TGbText gb;
    if (typed.isEmpty()) return echo;
    if (!Win::Utf8ToGbExactly(rtl::TUtf8Text(typed.toStdString()), gb)) {
        echo.Failure = UnrepresentableFieldText("对方传真号码");
        return echo;
    }
    fax::TNumberReading reading;
    try {
        reading = fax::ReadFaxNumber(gb.Bytes(), homeCountry);
    } catch (const rtl::EConvertError& e) {
        echo.Failure = QString::fromUtf8("传真号码的国家号和区号必须是数字（") + FromGb(e.Message) + QString::fromUtf8("）。");
        return echo;
    }
    if (!reading.Ok) {
        echo.Failure = FromGb(reading.Failure);
        return echo;
    }
    // An address no server takes is refused here as the send refuses it: before connecting.
    if (fax::GatewayPatternProblem(gatewayPattern).empty()) {
        const std::string unusable = fax::GatewayAddressProblem(reading, gatewayPattern);
        if (!unusable.empty()) {
            echo.Failure = FromGb(unusable);
            return echo;
        }
    }
    echo.Understood = true;
    echo.Number = QString::fromLatin1(reading.Shown);
    if (!reading.PlaceUtf8.empty()) echo.Number += "  " + QString::fromStdString(reading.PlaceUtf8);
    echo.Covered = fax::IsCovered(coverage, reading.Number);
    if (fax::GatewayPatternProblem(gatewayPattern).empty())
        echo.Gateway = FromGb(fax::GatewayAddressOf(reading, gatewayPattern));
    return echo;
}

}  // namespace app
