// The mail client every front end sends with.
#pragma once

#include <memory>

namespace mail {
class TZelSMTP;
}

namespace app {

// A mail client with the main window's design-time settings: the default
// port, report level 0, base64 attachments, lists cleared after a send, plain text.
std::unique_ptr<mail::TZelSMTP> MakeWindowMailClient();

}  // namespace app
