// The send history's cost, for tools/bench.
//   history_bench send PORT ATTACHMENT ROUNDS
//       Sends the fax ROUNDS times with the history and ROUNDS times without,
//       alternating, to 127.0.0.1:PORT, the history holding 10 000 records
//       (the default limit, so every send also prunes). Prints
//       with_ms=... without_ms=... (medians of one whole send each).
//   history_bench page
//       Opens the window's page 发送记录 on a history of 100 000 records
//       (offscreen) and, as the reference, reads the same columns of all
//       100 000 rows with a plain SELECT. Prints page_ms=... select_ms=...
//       first_page_select_ms=... (medians of 5).
#include "fax/Coverage.h"
#include "fax/Dispatch.h"
#include "gui/HistoryPage.h"
#include "history/History.h"
#include "history/SendRecorder.h"

#include <QApplication>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Fills the history with Count records like a real one's, in one transaction.
void Fill(const QString& path, int count) {
    {
        history::THistory store(path);
        history::TRecord first;
        first.Started = QDateTime::currentDateTimeUtc();
        store.Add(first);  // creates the schema
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "fill");
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        q.exec("BEGIN");
        q.prepare("INSERT INTO sends (front_end, started, ended, number_typed, number, gateways, server, port, protection,"
                  " sender, files, message_size, message_id, outcome, reply) VALUES ('command line', :t, :t,"
                  " '001-212-5551234', '12125551234', 'remote-printer.the_following_address@12125551234.iddd.faxgateway.example',"
                  " 'smtp.example.com', 587, 'starttls', 'me@example.com',"
                  " '[{\"name\":\"invoice.pdf\",\"path\":\"/home/me/invoice.pdf\",\"size\":123456,\"sha256\":\"" +
                  QString(64, 'a') + "\"}]', 170000, :id, 'sent', :reply)");
        const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-400);
        for (int i = 1; i < count; ++i) {
            q.bindValue(":t", start.addSecs(i * 60).toString(Qt::ISODateWithMs));
            q.bindValue(":id", QString("<%1.1.d23b2403ee89ac24@example.com>").arg(i));
            q.bindValue(":reply", QString("250 2.0.0 Ok: queued as 4QfX%1").arg(i));
            q.exec();
        }
        q.exec("COMMIT");
        db.close();
    }
    QSqlDatabase::removeDatabase("fill");
}

int Send(int port, const char* attachment, int rounds) {
    QTemporaryDir folder;
    const QString path = folder.filePath("history.sqlite");
    Fill(path, 10000);
    history::THistory store(path);
    store.OnNotice = [](const QString& text) { std::fprintf(stderr, "history_bench: %s\n", text.toUtf8().constData()); };
    mail::TZelSMTP client(nullptr);
    fax::TFaxDispatch dispatch(client);
    history::TSendRecorder recorder(dispatch, client, history::kCommandLine);
    fax::TSendRequest form;
    form.Server = rtl::TGbText("127.0.0.1");
    form.Port = port;
    form.Email = rtl::TGbText("bench@example.com");
    form.Number = rtl::TGbText("001-212-5551234");
    form.Files.emplace_back(attachment);
    std::vector<double> with, without;
    for (int i = 0; i < rounds * 2; ++i) {
        const bool recording = i % 2 == 0;
        recorder.Store = recording ? &store : nullptr;
        const auto start = Clock::now();
        if (!recorder.Send(form).empty()) return 1;
        (recording ? with : without).push_back(Ms(start));
    }
    if (store.Count() != 10000) {
        std::fprintf(stderr, "history_bench: %lld records instead of 10000\n", static_cast<long long>(store.Count()));
        return 1;
    }
    std::printf("with_ms=%.3f without_ms=%.3f\n", Median(with), Median(without));
    return 0;
}

int Page() {
    QTemporaryDir folder;
    const QString path = folder.filePath("history.sqlite");
    Fill(path, 100000);
    std::vector<double> page, select, firstPage;
    for (int round = 0; round < 5; ++round) {
        {
            history::THistory store(path);
            store.Keep = 100000;
            const auto start = Clock::now();
            app::THistoryPage shown;
            shown.SetStore(&store);
            shown.Refresh();
            shown.show();
            QApplication::processEvents();
            page.push_back(Ms(start));
            if (shown.List->model()->rowCount() < 20) return 1;
        }
        const auto reference = [&](const char* limit) {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "plain");
            db.setDatabaseName(path);
            const auto start = Clock::now();
            db.open();
            QSqlQuery q(db);
            q.setForwardOnly(true);
            q.exec(QString("SELECT id, front_end, started, ended, number_typed, number, place, gateways, server, port,"
                           " protection, sender, files, message_size, message_id, outcome, failure, reply, confirmation,"
                           " confirmation_subject, confirmation_time FROM sends ORDER BY id DESC %1").arg(limit));
            int rows = 0;
            while (q.next()) {
                for (int c = 0; c < 21; ++c) q.value(c);
                ++rows;
            }
            const double ms = Ms(start);
            q = QSqlQuery();
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase("plain");
            return rows > 0 ? ms : -1.0;
        };
        select.push_back(reference(""));
        firstPage.push_back(reference("LIMIT 200"));
    }
    std::printf("page_ms=%.3f select_ms=%.3f first_page_select_ms=%.3f\n", Median(page), Median(select), Median(firstPage));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "send") {
        QCoreApplication app(argc, argv);
        return Send(std::atoi(args[1].c_str()), args[2].c_str(), std::atoi(args[3].c_str()));
    }
    if (args.size() == 1 && args[0] == "page") {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        QApplication app(argc, argv);
        return Page();
    }
    std::fprintf(stderr, "usage: history_bench send PORT ATTACHMENT ROUNDS | history_bench page\n");
    return 2;
}
