#include "app/StartUp.h"

#include "app/Constants.h"
#include "app/SecretStore.h"
#include "platform/Application.h"

#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

namespace app {

std::unique_ptr<QTranslator> InstallQtTranslations(const QLocale& userLocale) {
    const QLocale locale = userLocale.language() == QLocale::Chinese ? userLocale : QLocale(QLocale::Chinese, QLocale::China);
    auto translator = std::make_unique<QTranslator>();
    // "qt" bundles qtbase and the other modules' catalogues.
    if (!translator->load(locale, QStringLiteral("qt"), QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return nullptr;
    QCoreApplication::installTranslator(translator.get());
    return translator;
}

TStartUp::TStartUp(int& argc, char** argv)
    : Application(argc, argv), QtTranslations(InstallQtTranslations(QLocale::system())), Form4(), Form1(&Form4) {
    Win::Application().Title = kApplicationTitle;
    Form4.SetMainWindow(&Form1);
    Form4.show();
    CenterOnScreen(&Form4);
    // QApplication has taken its own options out of the arguments.
    OpenDocuments(Form4, Form1, QCoreApplication::arguments().mid(1));
}

void OpenDocuments(TForm4& startWindow, TForm1& mainWindow, const QStringList& paths) {
    if (paths.isEmpty()) return;
    QStringList absolute;
    for (const QString& path : paths) absolute << QFileInfo(path).absoluteFilePath();
    mainWindow.AddFiles(absolute);
    startWindow.Button1Click();
}

TStartUp::~TStartUp() { SecretStore().Finish(3000); }

}  // namespace app
