// What an operation raised, for tests that compare failures by kind and text.
#pragma once

#include "platform/CodePage.h"
#include "rtl/SysUtils.h"

#include <string>

namespace testsupport {

struct TFailure {
    bool Raised = false;
    rtl::TErrorKind Kind = rtl::TErrorKind::Other;
    std::string Text;  // UTF-8
};

template <typename Fn>
TFailure FailureOf(Fn fn) {
    try {
        fn();
    } catch (const rtl::Exception& e) {
        return {true, e.Kind, Win::Gb2312ToUtf8(e.Message)};
    }
    return {};
}

}  // namespace testsupport
