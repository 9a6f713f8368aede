// A build without the send history: the watch has no records to put answers
// on, so it finds no waiting fax. With the history, ConfirmationStore.cpp.
#include "app/ConfirmationStore.h"

namespace app {
namespace {

struct TNoRecords final : watch::TConfirmationStore {
    std::vector<watch::TSentFax> Waiting() override { return {}; }
    std::set<std::string> UsedAnswers() override { return {}; }
    void Confirm(std::int64_t, const watch::TConfirmation&) override {}
};

}  // namespace

std::unique_ptr<watch::TConfirmationStore> OpenConfirmationStore() { return std::make_unique<TNoRecords>(); }

}  // namespace app
