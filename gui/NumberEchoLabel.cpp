#include "gui/NumberEchoLabel.h"

#include "app/GbText.h"
#include "app/Messages.h"
#include "fax/Coverage.h"
#include "fax/NumberFront.h"

#include <QFontMetrics>
#include <QLabel>

namespace app {

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
