#include "gui/Forms.h"

#include "app/Constants.h"
#include "app/Settings.h"
#include "mail/Smtp.h"
#include "platform/Application.h"
#include "platform/CodePage.h"
#include "rtl/SysUtils.h"

#include <QFileDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QStyleFactory>

namespace app {
namespace {

TMessageBoxFn& MessageBoxFunction() {
    static TMessageBoxFn fn;
    return fn;
}

TQuestionBoxFn& QuestionBoxFunction() {
    static TQuestionBoxFn fn;
    return fn;
}

TOpenDialogFn& OpenDialogFunction() {
    static TOpenDialogFn fn;
    return fn;
}

QFont WithFamilies(QStringList families, int pixelHeight) {
    // Fallbacks for Linux, where neither Windows font exists.
    families << "WenQuanYi Zen Hei" << "Noto Sans CJK SC" << "Noto Sans SC" << "AR PL UMing CN";
    QFont font;
    font.setFamilies(families);
    font.setPixelSize(pixelHeight);
    return font;
}

}  // namespace

void SetMessageBoxFunction(TMessageBoxFn fn) { MessageBoxFunction() = std::move(fn); }

void ShowModalMessage(const QString& caption, const QString& text, TMsgIcon icon) {
    if (MessageBoxFunction()) {
        MessageBoxFunction()(caption, text, icon);
        return;
    }
    QMessageBox box(icon == TMsgIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.adjustSize();
    CenterOnScreen(&box);
    box.exec();
}

void SetQuestionBoxFunction(TQuestionBoxFn fn) { QuestionBoxFunction() = std::move(fn); }

bool AskYesNo(const QString& caption, const QString& text) {
    if (QuestionBoxFunction()) return QuestionBoxFunction()(caption, text);
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    box.setWindowModality(Qt::ApplicationModal);
    box.adjustSize();
    CenterOnScreen(&box);
    return box.exec() == QMessageBox::Yes;
}

void ShowMessage(const QString& text) { ShowModalMessage(ApplicationTitle(), text, TMsgIcon::None); }

void SetOpenDialogFunction(TOpenDialogFn fn) { OpenDialogFunction() = std::move(fn); }

namespace {
QStringList OpenDialog(QWidget* parent, bool many) {
    if (OpenDialogFunction()) return OpenDialogFunction()(parent, many);
    if (many) return QFileDialog::getOpenFileNames(parent);
    const QString path = QFileDialog::getOpenFileName(parent);
    return path.isEmpty() ? QStringList() : QStringList{path};
}
}  // namespace

QString RunOpenDialog(QWidget* parent) {
    const QStringList paths = OpenDialog(parent, false);
    return paths.isEmpty() ? QString() : paths.front();
}

QStringList RunOpenFilesDialog(QWidget* parent) { return OpenDialog(parent, true); }

QString ApplicationTitle() { return QString::fromUtf8(Win::Application().Title.c_str()); }

void ShowException(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const rtl::EAbort&) {
        // The silent exception ends an operation without a word.
    } catch (const mail::EMaybeDelivered& e) {
        ShowModalMessage(ApplicationTitle(), MessageForDisplay(e.what()), TMsgIcon::Error);
    } catch (const rtl::Exception& e) {
        // A send stopped because the user chose to quit needs no word either.
        if (e.Kind == rtl::TErrorKind::Stopped && Win::Application().Terminated()) return;
        ShowModalMessage(ApplicationTitle(), MessageForDisplay(e.what()), TMsgIcon::Error);
    } catch (const std::exception& e) {
        ShowModalMessage(ApplicationTitle(), MessageForDisplay(e.what()), TMsgIcon::Error);
    } catch (...) {
        ShowModalMessage(ApplicationTitle(), QStringLiteral("Unknown error."), TMsgIcon::Error);
    }
}

void RunHandler(const std::function<void()>& handler) {
    struct Scope {
        Scope() { Win::Application().EnterHandler(); }
        ~Scope() { Win::Application().LeaveHandler(); }
    } scope;
    try {
        handler();
    } catch (...) {
        Win::Application().HandleException(std::current_exception());
    }
}

// The window layouts count on the GB2312 font's metrics: Chinese characters
// as wide as the pixel height, Latin ones half as wide. The monospaced cut of
// the shipped Chinese font has them; its proportional cut has wider Latin
// letters, which push "SMTP邮件服务器：" under its field.
QFont SongTiFont() {
    return WithFamilies({QStringLiteral("宋体"), "SimSun", "NSimSun", "WenQuanYi Zen Hei Mono"}, 12);
}
QFont DefaultFont() { return WithFamilies({QStringLiteral("MS Sans Serif"), "SimSun"}, 11); }

void FitToWidth(QLabel* label, int width) {
    QFont font = label->font();
    // Narrower glyphs keep the text's height and line, where a smaller size would not.
    int stretch = 100;
    while (stretch > 50 && QFontMetrics(font).horizontalAdvance(label->text()) > width) font.setStretch(--stretch);
    label->setFont(font);
    label->adjustSize();
}

void PutCaptionOnFrame(QGroupBox* box) {
    // The classic style draws the frame through the middle of the caption;
    // the default one puts it below, across controls placed 16 pixels down.
    QStyle* style = QStyleFactory::create(QStringLiteral("Windows"));
    if (style == nullptr) return;  // a Qt built without it keeps the default look
    style->setParent(box);
    box->setStyle(style);
}

void ApplyWindowStyle(QWidget* window) {
    window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    window->setWindowTitle(QString::fromUtf8(kWindowCaption));
    window->setBackgroundRole(QPalette::Button);
    window->setAutoFillBackground(true);
}

QLabel* MakeLabel(QWidget* parent, const char* text, int left, int top, int right) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setFont(SongTiFont());
    FitToWidth(label, right - left);
    label->move(left, top);
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, int left, int top, int width, int height) {
    // The input-method request of the original fields has no counterpart
    // here: the desktop's input method serves every edit.
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(left, top, width, height);
    return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* text, int left, int top, int width, int height) {
    auto* button = new QPushButton(QString::fromUtf8(text), parent);
    button->setGeometry(left, top, width, height);
    button->setFont(SongTiFont());
    return button;
}

void OnClick(QPushButton* button, std::function<void()> handler) {
    QObject::connect(button, &QPushButton::clicked, button, [handler = std::move(handler)] { RunHandler(handler); });
}

void SetStatusText(QStatusBar* bar, const QString& text) { bar->showMessage(text); }
QString StatusText(const QStatusBar* bar) { return bar->currentMessage(); }

void CenterOnScreen(QWidget* window) {
    const QScreen* screen = window->screen() != nullptr ? window->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect area = screen->availableGeometry();
    const QSize size = window->frameGeometry().size();
    window->move(area.center() - QPoint(size.width() / 2, size.height() / 2));
}

bool FieldToGb(const QString& text, const char* fieldName, std::string& gb) {
    if (Win::Utf8ToGb2312Exact(text.toStdString(), gb)) return true;
    ShowMessage(UnrepresentableFieldText(fieldName));
    return false;
}

TApplicationObject::TApplicationObject(int& argc, char** argv) : QApplication(argc, argv) {
    // The data location (the send history) is the command line's.
    setOrganizationName(kOrganisationName);
    setApplicationName(kSettingsApplicationName);
    // Closing the start window ends the program (Terminate). Qt's own quit on
    // the last window closed would end it while a send still unwinds, before
    // the box saying the fax may have gone could stay up.
    setQuitOnLastWindowClosed(false);
    Win::Application().SetExceptionHandler(&ShowException);
}

bool TApplicationObject::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        Win::Application().HandleException(std::current_exception());
        return false;
    }
}

}  // namespace app
