// Program start-up: the application object, Qt's own texts in the windows'
// language, then the start window (the application's main window), then the
// main window, hidden.
#pragma once

#include "gui/Forms.h"
#include "gui/Unit1.h"
#include "gui/Unit4.h"

#include <QLocale>

#include <memory>

class QTranslator;

namespace app {

// Installs Qt's translations (file dialog, message box buttons) for the
// user's locale when it is a Chinese one, otherwise for Simplified Chinese:
// the windows speak Chinese whatever the locale. Returns the installed
// translator, or nullptr when no translation file was found.
std::unique_ptr<QTranslator> InstallQtTranslations(const QLocale& userLocale);

// Documents named on the command line (the file manager's "Open with") go
// straight to the main window's list, in their order, and the main window
// is shown in place of the start window. A path that names no regular file
// (missing, a folder, a FIFO) is named in a box instead: started from the
// desktop, no one reads standard error.
void OpenDocuments(TForm4& startWindow, TForm1& mainWindow, const QStringList& paths);

// How many of the arguments Qt is given: all when the first after the
// program's name is one of Qt's own options; else the name alone, so that a
// document called "-platform", or any after "--", is never read as one.
int QtArgumentCount(int argc, char** argv);

// The program with windows: start-up, then the loop until the start window
// closes. The one way in to the windows, so that the entry needs nothing else of them.
int RunWindows(int argc, char** argv);

struct TStartUp {
    TStartUp(int& argc, char** argv);
    // Lets a password typed last reach the secret store before the program ends.
    ~TStartUp();
    int QtArgc;  // Qt keeps a reference to it
    TApplicationObject Application;
    std::unique_ptr<QTranslator> QtTranslations;
    TForm4 Form4;
    TForm1 Form1;
};

}  // namespace app
