#include "app/StartUp.h"

#include "app/Constants.h"
#include "app/SecretStore.h"
#include "platform/Application.h"

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
}

TStartUp::~TStartUp() { SecretStore().Finish(3000); }

}  // namespace app
