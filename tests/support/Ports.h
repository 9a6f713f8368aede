// Loopback ports for tests.
#pragma once

#include <cstdint>

namespace testsupport {

// A port of 127.0.0.1 with nothing listening on it (free a moment ago).
std::uint16_t UnusedPort();

}  // namespace testsupport
