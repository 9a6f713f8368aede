// The send history as the confirmation watch uses it: the faxes waiting for
// an answer, and the answer put on each record. Each call opens its own
// connection, so the watch may use it from its thread.
#pragma once

#include "watch/ConfirmationWatch.h"

#include <memory>

namespace app {

std::unique_ptr<watch::TConfirmationStore> OpenConfirmationStore();

}  // namespace app
