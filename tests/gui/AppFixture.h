// Both windows, made as start-up makes them, with message boxes and the file
// dialog answered by the test.
#pragma once

#include "app/SecretStore.h"
#include "app/Settings.h"
#include "gui/Forms.h"
#include "gui/OutboxPage.h"
#include "gui/SettingsPage.h"
#include "gui/Unit1.h"
#include "gui/Unit4.h"
#include "history/History.h"
#include "outbox/Outbox.h"
#include "platform/Application.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <QSettings>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

// A secret store in memory that answers at once, or fails every request.
struct TestSecretStore : app::TSecretStore {
    void Read(const QString& key, TReply reply) override {
        const auto it = Secrets.find(key);
        if (!Answers) return reply(TOutcome::Failed, {});
        reply(it == Secrets.end() ? TOutcome::NotFound : TOutcome::Done, it == Secrets.end() ? QString() : it->second);
    }
    void Write(const QString& key, const QString& secret, TReply reply) override {
        ++Writes;
        if (Answers) Secrets[key] = secret;
        reply(Answers ? TOutcome::Done : TOutcome::Failed, {});
    }
    void Remove(const QString& key, TReply reply) override {
        if (Answers) Secrets.erase(key);
        reply(Answers ? TOutcome::Done : TOutcome::Failed, {});
    }
    bool Answers = true;
    std::map<QString, QString> Secrets;
    int Writes = 0;
};

struct ShownBox {
    QString Caption;
    QString Text;
    app::TMsgIcon Icon;
};

class WindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        app::SetMessageBoxFunction([this](const QString& c, const QString& t, app::TMsgIcon i) { Boxes.push_back({c, t, i}); });
        app::SetOpenDialogFunction([this](QWidget*, bool many) {
            if (many && !NextFiles.isEmpty()) return NextFiles;
            return NextFile.isEmpty() ? QStringList() : QStringList{NextFile};
        });
        app::SetQuestionBoxFunction([this](const QString&, const QString& text) {
            Questions << text;
            return AnswerYes;
        });
        Win::Application().ClearTerminate();  // an earlier test may have ended the program
        // Every test starts from a program that has never run (the test main
        // points the settings at a temporary folder).
        app::OpenSettings()->clear();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            QFile::remove(history::THistory::DefaultPath() + suffix);
            QFile::remove(outbox::TOutbox::DefaultPath() + suffix);
        }
        QDir(outbox::TOutbox::DefaultFolder()).removeRecursively();
        auto store = std::make_unique<TestSecretStore>();
        Secrets = store.get();
        app::SetSecretStore(std::move(store));
        MakeWindows();
    }
    // Both windows as start-up makes them; a second call is a restart.
    void MakeWindows() {
        Form1.reset();
        Form4.reset();
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
        app::SetSecretStore(nullptr);
        app::SetQuestionBoxFunction(nullptr);
        Win::Application().ClearTerminate();
    }
    // Both windows send to this port of the server they are given; the main
    // window takes its port from the settings page at each press.
    void UsePort(std::uint16_t port) {
        Form1->SettingsPage->PortEdit->setValue(port);
        Form4->FeedbackPort = port;
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
    QStringList NextFiles;  // what the dialog answers when several may be chosen
    TestSecretStore* Secrets = nullptr;
};
