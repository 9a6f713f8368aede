// What the fax number field was understood as: the number, its place and
// whether the gateway serves it. The main window shows it beside the field as
// the user types (gui/NumberEchoLabel.h); `faxmail coverage` prints it.
#pragma once

#include "rtl/Classes.h"

#include <QString>

#include <string>

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

}  // namespace app
