#include "app/MailClient.h"

#include "fax/Dispatch.h"

namespace app {

std::unique_ptr<mail::TZelSMTP> MakeWindowMailClient() {
    auto client = std::make_unique<mail::TZelSMTP>(nullptr);
    client->ReportLevel = 0;
    client->EncodeType = codec::uuMime;
    client->ClearParams = true;
    client->SubType = mail::mtPlain;
    return client;
}

}  // namespace app
