// Both windows, made as start-up makes them, with message boxes and the file
// dialog answered by the test.
#pragma once

#include "app/Forms.h"
#include "app/Unit1.h"
#include "app/Unit4.h"
#include "platform/Application.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

struct ShownBox {
    QString Caption;
    QString Text;
    app::TMsgIcon Icon;
};

class WindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        app::SetMessageBoxFunction([this](const QString& c, const QString& t, app::TMsgIcon i) { Boxes.push_back({c, t, i}); });
        app::SetOpenDialogFunction([this](QWidget*) { return NextFile; });
        app::SetQuestionBoxFunction([this](const QString&, const QString& text) {
            Questions << text;
            return AnswerYes;
        });
        Win::Application().ClearTerminate();  // an earlier test may have ended the program
        Form4 = std::make_unique<app::TForm4>();
        Form1 = std::make_unique<app::TForm1>(Form4.get());
        Form4->SetMainWindow(Form1.get());
        QObject::connect(Form1->StatusBar1, &QStatusBar::messageChanged, [this](const QString& t) { Statuses1 << t; });
        QObject::connect(Form4->StatusBar1, &QStatusBar::messageChanged, [this](const QString& t) { Statuses4 << t; });
    }
    void TearDown() override {
        Form1.reset();
        Form4.reset();
        app::SetMessageBoxFunction(nullptr);
        app::SetOpenDialogFunction(nullptr);
        app::SetQuestionBoxFunction(nullptr);
        Win::Application().ClearTerminate();
    }
    // Both windows send to this port of the server they are given.
    void UsePort(std::uint16_t port) {
        Form1->ZelSMTP1->Port = port;
        Form4->ZelSMTP1->Port = port;
    }
    void Fill(const char* server, const char* email, const char* number) {
        Form1->Edit1->setText(QString::fromUtf8(server));
        Form1->Edit2->setText(QString::fromUtf8(email));
        Form1->Edit3->setText(QString::fromUtf8(number));
    }
    void AddFile(const std::string& path) {
        NextFile = QString::fromStdString(path);
        Form1->Button1->click();
    }
    std::vector<QString> BoxTexts() const {
        std::vector<QString> texts;
        for (const auto& b : Boxes) texts.push_back(b.Text);
        return texts;
    }

    std::unique_ptr<app::TForm4> Form4;
    std::unique_ptr<app::TForm1> Form1;
    std::vector<ShownBox> Boxes;
    QStringList Statuses1, Statuses4;
    QStringList Questions;
    bool AnswerYes = false;
    QString NextFile;
};
