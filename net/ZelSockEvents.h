// Internal to the socket unit: how events are fired.
#pragma once

#include <utility>

namespace net::detail {

// Fires an event when it is assigned. The handler runs from a copy, so a
// handler that reassigns or clears its own event does not destroy itself
// while it runs.
template <typename Event, typename... Args>
void Fire(const Event& event, Args&&... args) {
    if (!event) return;
    const Event handler = event;
    handler(std::forward<Args>(args)...);
}

}  // namespace net::detail
