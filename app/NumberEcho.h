// What the fax number field was understood as: the number, its place and
// whether the gateway serves it. The main window shows it beside the field as
// the user types; `faxmail coverage` prints it.
#pragma once

#include "rtl/Classes.h"

#include <QString>
#include <QStringList>

#include <string>

class QLabel;

namespace app {

struct TNumberEcho {
    bool Understood = false;
    bool Covered = false;
    QString Number;   // "+1 212-123-4567  美国 New York, NY": the number as understood and its place
    QString Failure;  // why it was not understood; empty for an empty field
    QString Gateway;  // the gateway address, when the pattern is usable
};

// homeCountry: the country calling code of a number typed without one (0: none).
TNumberEcho EchoNumber(const QString& typed, int homeCountry, const rtl::TStringList& coverage,
                       const std::string& gatewayPattern);

// The echo on the label beside the number field: the number, its place and
// the coverage, or the cause of a refusal; the whole text in its tool tip.
void ShowEcho(QLabel* label, const TNumberEcho& echo);

// The coverage page: each line of the list with the place of its entry
// beside it (worked out once per run: it takes a tenth of a second).
const QStringList& CoveragePageLines();

}  // namespace app
