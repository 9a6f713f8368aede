// What both windows share: fonts, modal message boxes, the file dialog, the
// status bar text and the application's outer exception handler. Message
// boxes and the file dialog go through replaceable functions so tests read
// their texts instead of blocking on them.
#pragma once

#include "app/GbText.h"

#include <QApplication>
#include <QFont>
#include <QString>

#include <exception>
#include <functional>
#include <memory>
#include <string>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QWidget;

namespace app {

enum class TMsgIcon { None, Error };

// caption, text, icon; the default shows a modal box centred on the screen with one OK button.
using TMessageBoxFn = std::function<void(const QString& caption, const QString& text, TMsgIcon icon)>;
void SetMessageBoxFunction(TMessageBoxFn fn);
void ShowModalMessage(const QString& caption, const QString& text, TMsgIcon icon);
// Invalid input: the application's title as caption, one OK button.
void ShowMessage(const QString& text);

// caption, question; true for Yes. The default asks with a modal Yes/No box.
using TQuestionBoxFn = std::function<bool(const QString& caption, const QString& text)>;
void SetQuestionBoxFunction(TQuestionBoxFn fn);
bool AskYesNo(const QString& caption, const QString& text);

// Returns the chosen paths in the order chosen (none when the dialog was
// cancelled); Many lets the user choose several files at once.
using TOpenDialogFn = std::function<QStringList(QWidget* parent, bool Many)>;
void SetOpenDialogFunction(TOpenDialogFn fn);
// One file, or an empty text.
QString RunOpenDialog(QWidget* parent);
QStringList RunOpenFilesDialog(QWidget* parent);

// The application's title: message box captions.
QString ApplicationTitle();

// The outer handler: the exception's message with a full stop appended when
// its last character sorts after ".", in an error box; the silent abort is not shown.
void ShowException(std::exception_ptr error);
// Runs a window handler; an exception that leaves it goes to the outer handler.
void RunHandler(const std::function<void()>& handler);

// The GB2312 system font "宋体" at pixel height 12, falling back to an installed Chinese font.
QFont SongTiFont();
// "MS Sans Serif" at pixel height 11, falling back likewise.
QFont DefaultFont();
// Sizes a label to its text, narrowing its font's glyphs until the text is no
// wider than width: a fallback font must not run a label into its field.
void FitToWidth(QLabel* label, int width);
// Draws a group box's caption on its frame line, as the windows were laid out for.
void PutCaptionOnFrame(QGroupBox* box);

// A top-level window as both windows are: caption, system menu and minimise
// button only, the face colour of buttons.
void ApplyWindowStyle(QWidget* window);
// A button of the GB2312 font at the given place.
QPushButton* MakeButton(QWidget* parent, const char* text, int left, int top, int width, int height);
// A label of the GB2312 font whose text ends at or before right: the next
// field's left edge, or the fields' right edge for a line of its own.
QLabel* MakeLabel(QWidget* parent, const char* text, int left, int top, int right);
// A line edit at the given place.
QLineEdit* MakeEdit(QWidget* parent, int left, int top, int width, int height);
// Binds a button's click to a window handler run under the outer handler.
void OnClick(QPushButton* button, std::function<void()> handler);

// One line of status text across the whole bar.
void SetStatusText(QStatusBar* bar, const QString& text);
QString StatusText(const QStatusBar* bar);

// Centres a top-level window on its screen.
void CenterOnScreen(QWidget* window);

// A field's text as GB2312 bytes when the code page holds every character of
// it exactly; otherwise shows a message naming the field (UTF-8) and returns
// false, so that nothing is sent with a text changed on the way.
bool FieldToGb(const QString& text, const char* fieldName, std::string& gb);

// The Qt application object with the outer handler as a last line of defence:
// no exception crosses Qt's event loop.
class TApplicationObject : public QApplication {
public:
    TApplicationObject(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace app
