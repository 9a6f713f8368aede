// Where a command's password comes from besides the terminal: a variable of
// the environment, or the desktop's store when 记住密码 is ticked.
#pragma once

#include <QString>

namespace app {

// The variable's value in the locale's encoding, as UTF-8 text; the variable
// is wiped and removed at once, so neither child processes nor
// /proc/<pid>/environ see it later.
QString TakeSecretVariable(const char* name);

// The remembered SMTP password, when the desktop's store answers within a
// few seconds; empty otherwise.
QString StoredPassword();

}  // namespace app
