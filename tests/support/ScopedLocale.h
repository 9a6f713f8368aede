// One of the users' locales for the length of a scope: LC_ALL as setlocale
// sets it, the previous one restored on leaving. tools/deps.sh makes the
// locales a fresh machine lacks.
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace testsupport {

// The locales the program is used in.
inline constexpr const char* kUserLocales[] = {"C", "zh_CN.UTF-8", "zh_CN.GBK"};

class ScopedLocale {
public:
    explicit ScopedLocale(const char* name) : Saved(std::setlocale(LC_ALL, nullptr)) {
        Active = std::setlocale(LC_ALL, name) != nullptr;
        EXPECT_TRUE(Active) << "locale " << name << " is missing (tools/deps.sh makes it)";
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, Saved.c_str()); }
    ScopedLocale(const ScopedLocale&) = delete;
    ScopedLocale& operator=(const ScopedLocale&) = delete;
    bool Active = false;

private:
    std::string Saved;
};

}  // namespace testsupport
