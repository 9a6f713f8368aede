// The number echo as the main window shows it, and the coverage page's lines.
#pragma once

#include "app/NumberEcho.h"

#include <QStringList>

class QLabel;

namespace app {

// The echo on the label beside the number field: the number, its place and
// the coverage, or the cause of a refusal; the whole text in its tool tip.
void ShowEcho(QLabel* label, const TNumberEcho& echo);

// The coverage page: each line of the list with the place of its entry
// beside it (worked out once per run: it takes a tenth of a second).
const QStringList& CoveragePageLines();

}  // namespace app
