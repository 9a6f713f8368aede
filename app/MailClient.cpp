#include "app/MailClient.h"

#include "fax/Dispatch.h"

namespace app {

std::unique_ptr<mail::TZelSMTP> MakeWindowMailClient() {
    return std::make_unique<mail::TZelSMTP>(nullptr, 0);
}

}  // namespace app
