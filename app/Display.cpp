#include "app/Display.h"

#include "app/Messages.h"
#include "platform/LocaleText.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace app {

bool DisplayAvailable(int argc, char** argv) {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return true;
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0) return true;
    std::setlocale(LC_ALL, "");
    const std::string text = Win::Utf8ToTerminal(rtl::TUtf8Text(Msg(TMsg::NoDisplay).toStdString() + "\n"));
    std::fwrite(text.data(), 1, text.size(), stderr);
    return false;
}

}  // namespace app
