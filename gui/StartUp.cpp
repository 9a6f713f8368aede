#include "gui/StartUp.h"

#include "app/Constants.h"
#include "app/SecretStore.h"
#include "platform/Application.h"
#include "rtl/SysUtils.h"

#include <QFile>
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

int QtArgumentCount(int argc, char** argv) {
    if (argc < 2) return argc;
    const std::string first = argv[1];
    const bool qtOption = first.size() > 1 && first[0] == '-' && first != "--" && !rtl::PathExists(first);
    return qtOption ? argc : 1;
}

TStartUp::TStartUp(int& argc, char** argv)
    : QtArgc(QtArgumentCount(argc, argv)), Application(QtArgc, argv), QtTranslations(InstallQtTranslations(QLocale::system())),
      Form4(), Form1(&Form4) {
    Win::Application().Title = kApplicationTitle;
    Form4.SetMainWindow(&Form1);
    Form4.show();
    CenterOnScreen(&Form4);
    // After Qt's options, QApplication has taken them out of the arguments;
    // otherwise every argument is a document.
    QStringList documents;
    if (QtArgc > 1) {
        documents = QCoreApplication::arguments().mid(1);
    } else {
        for (int i = 1; i < argc; ++i) documents << QFile::decodeName(argv[i]);
    }
    if (!documents.isEmpty() && documents.first() == QLatin1String("--")) documents.removeFirst();
    OpenDocuments(Form4, Form1, documents);
}

void OpenDocuments(TForm4& startWindow, TForm1& mainWindow, const QStringList& paths) {
    QStringList absolute;
    QStringList unusable;
    for (const QString& path : paths) {
        const QString full = QFileInfo(path).absoluteFilePath();
        (rtl::RegularFileSize(QFile::encodeName(full).toStdString()) < 0 ? unusable : absolute) << full;
    }
    if (!unusable.isEmpty())
        ShowModalMessage(ApplicationTitle(),
                         QString::fromUtf8("这些文件不存在，或者不是普通文件（例如是文件夹或管道），没有加入附件列表：\n") +
                             unusable.join('\n'),
                         TMsgIcon::Error);
    if (absolute.isEmpty()) return;
    mainWindow.AddFiles(absolute);
    startWindow.Button1Click();
}

TStartUp::~TStartUp() { SecretStore().Finish(3000); }

int RunWindows(int argc, char** argv) {
    TStartUp startUp(argc, argv);
    Win::Application().Run();
    return 0;
}

}  // namespace app
