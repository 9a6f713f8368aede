#include "app/NumberEcho.h"

#include "app/Forms.h"
#include "app/Messages.h"
#include "fax/Coverage.h"
#include "fax/GatewayPattern.h"
#include "fax/NumberFront.h"
#include "platform/CodePage.h"
#include "rtl/SysUtils.h"

#include <QFontMetrics>
#include <QLabel>

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

void ShowEcho(QLabel* label, const TNumberEcho& echo) {
    QString text = echo.Failure;
    // The label is narrow: a refusal shows its cause, the tool tip all of it.
    const QString format = QString::fromUtf8("传真号码的形式必须为：001-212-1234567，");
    if (text.startsWith(format)) text = text.mid(format.size());
    // The coverage first: a long place is what the label cuts off.
    if (echo.Understood) text = Msg(echo.Covered ? TMsg::NumberCovered : TMsg::NumberNotCovered, {echo.Number});
    label->setStyleSheet(echo.Understood && echo.Covered ? "color: green" : "color: red");
    label->setToolTip(echo.Understood && !echo.Gateway.isEmpty() ? text + "\n" + Msg(TMsg::NumberGateway, {echo.Gateway})
                      : echo.Understood ? text : echo.Failure);
    label->setText(QFontMetrics(label->font()).elidedText(text, Qt::ElideRight, label->width()));
}

const QStringList& CoveragePageLines() {
    static const QStringList lines = [] {
        QStringList out;
        for (const std::string& line : fax::CoverageList()) {
            const std::string place = fax::PlaceOfCoverageEntry(line);
            out << (place.empty() ? FromGb(line) : FromGb(line) + "  " + QString::fromStdString(place));
        }
        return out;
    }();
    return lines;
}

}  // namespace app
