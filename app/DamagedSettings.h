// Saved values the program cannot read: the message that stops a send while
// any is left, in the window and on the command line alike.
#pragma once

#include "app/Settings.h"

#include <QList>
#include <QString>

namespace app {

// Names the settings file and each damaged value with its field on the
// settings page (and its option); empty when the list is.
QString DamagedSettingsMessage(const QList<TDamagedSetting>& Damaged);

// The field's label on the settings page ("安全连接"), for a key of the file.
QString DamagedSettingLabel(const QString& Key);

// Drops the entry of Key: the page or an option has given a usable value.
void Repaired(QList<TDamagedSetting>& Damaged, const QString& Key);

}  // namespace app
