#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <csignal>
#include <cstdlib>
#include <map>

#include "app/CUtilityApp.h"
#include "app/CommandLine.h"
#include "app/OfferHangUp.h"
#include "app/SignalWatcher.h"
#include "common/DialUpApi.h"
#include "support/ScriptedPrompter.h"
#include "support/TempDir.h"
#include "ui/CMainDlg.h"

using namespace tyq;
using tyq::test::readFile;
using tyq::test::TempDir;
using tyq::test::writeFile;

namespace {

const std::filesystem::path kDoubles = TYQ_RAS_DOUBLES;
constexpr char kAolQuestion[] =
    "Have you logged in and connected to the\nInternet with AOL?\nPress Yes to continue and  "
    "download files or \nedit parameters. Press No to exit.";

// The dial-up test doubles keep their connections and a log of the calls in
// a folder of their own.
struct DialUpState {
    TempDir folder;
    explicit DialUpState(const std::string& connections) {
        writeFile(folder / "connections", connections);
        qputenv("TYQ_RAS_DOUBLE_STATE", QByteArray::fromStdString(folder.path().string()));
    }
    ~DialUpState() { qunsetenv("TYQ_RAS_DOUBLE_STATE"); }
    std::string calls() const { return readFile(folder / "calls"); }
};

std::string enumCall() {
    return "RasEnumConnectionsA cb=" + std::to_string(TY_RAS_CONN_SIZE) + " count=0\n";
}

}  // namespace

class AppTest : public QObject {
    Q_OBJECT

  private slots:
    // A termination request reaches the window's thread as a call, and the
    // earlier handler is back once the watcher has ended.
    void signalsBecomeCalls() {
        struct sigaction before {};
        ::sigaction(SIGTERM, nullptr, &before);
        std::vector<int> seen;
        {
            const app::SignalWatcher watcher([&](int signal) { seen.push_back(signal); });
            for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
                ::raise(signal);
            }
            QTRY_COMPARE(seen.size(), std::size_t(3));
        }
        QCOMPARE(seen, (std::vector<int>{SIGTERM, SIGINT, SIGHUP}));
        struct sigaction now {};
        ::sigaction(SIGTERM, nullptr, &now);
        QVERIFY(now.sa_handler == before.sa_handler);
    }

    // Which environments have no display for the toolkit.
    void displayMissing() {
        using Environment = std::map<std::string, std::string>;
        for (const auto& [environment, missing] : std::vector<std::pair<Environment, bool>>{
                 {{}, true},
                 {{{"DISPLAY", ":0"}}, false},
                 {{{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "w"}}, true},
                 {{{"QT_QPA_PLATFORM", "wayland;xcb:nograb"}, {"DISPLAY", ":0"}}, false},
                 {{{"QT_QPA_PLATFORM", "offscreen"}}, false}}) {
            QCOMPARE(app::displayMissing([&](const char* name) -> const char* {
                         const auto found = environment.find(name);
                         return found == environment.end() ? nullptr : found->second.c_str();
                     }),
                     missing);
        }
    }

    void hangUpQuestion_data() {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<QString>("connections");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("question");  // empty: none asked
        QTest::addColumn<QString>("calls");
        const QString enumerated = QString::fromStdString(enumCall());
        QTest::newRow("no library") << "none"
                                    << "7 Office Line\n"
                                    << true << ""
                                    << "";
        QTest::newRow("folder missing") << "no-such-folder"
                                        << "7 Office Line\n"
                                        << true << ""
                                        << "";
        QTest::newRow("hang-up entry missing") << "no-hangup"
                                               << "7 Office Line\n"
                                               << true << ""
                                               << "";
        QTest::newRow("no connection") << "full"
                                       << "" << true << "" << enumerated;
        QTest::newRow("one connection, Yes")
            << "full"
            << "7 Office Line\n"
            << true << "Do you want to close connection to Office Line?"
            << enumerated + "RasHangUpA 7\n";
        QTest::newRow("one connection, No")
            << "full"
            << "7 Office Line\n"
            << false << "Do you want to close connection to Office Line?" << enumerated;
        QTest::newRow("two connections") << "full"
                                         << "7 Office Line\n8 Backup\n"
                                         << true << "" << enumerated;
        const QString longName(256, 'n');
        QTest::newRow("entry name filling the record")
            << "full"
            << "9 " + longName + "\n"
            << true << "Do you want to close connection to " + longName + "?"
            << enumerated + "RasHangUpA 9\n";
    }
    void hangUpQuestion() {
        QFETCH(QString, variant);
        QFETCH(QString, connections);
        QFETCH(bool, yes);
        QFETCH(QString, question);
        QFETCH(QString, calls);
        DialUpState state(connections.toStdString());
        test::ScriptedPrompter prompter({yes ? PromptAnswer::Yes : PromptAnswer::No});
        app::OfferHangUp(prompter, kDoubles / variant.toStdString());
        if (question.isEmpty()) {
            QVERIFY(prompter.asked.empty());
        } else {
            QCOMPARE(prompter.asked.size(), std::size_t(1));
            const auto& asked = prompter.asked.front();
            QCOMPARE(QString::fromStdString(asked.text), question);
            QCOMPARE(asked.buttons, PromptButtons::YesNo);
            QCOMPARE(asked.icon, PromptIcon::Question);
            QCOMPARE(asked.owner, PromptOwner::MainWindow);
        }
        QCOMPARE(QString::fromStdString(state.calls()), calls);
    }

    void startUpAolQuestion_data() {
        QTest::addColumn<QString>("aol");  // null: no settings file at all
        QTest::addColumn<bool>("asked");
        QTest::newRow("no file") << QString() << false;
        QTest::newRow("missing key") << "-" << false;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("1") << "1" << true;
        QTest::newRow("10") << "10" << true;
        QTest::newRow("1x") << "1x" << true;
        QTest::newRow("x1") << "x1" << false;
    }
    void startUpAolQuestion() {
        QFETCH(QString, aol);
        QFETCH(bool, asked);
        for (const bool yes : {true, false}) {
            TempDir settings;
            const auto ini = settings / "TYFTP.INI";
            if (!aol.isNull()) {
                writeFile(ini,
                          "[QLMORVMAIL]\nUser=orv1\n" +
                              (aol == "-" ? std::string() : "AOL=" + aol.toStdString() + "\n"));
            }
            const std::string before = readFile(ini);
            test::ScriptedPrompter prompter({yes ? PromptAnswer::Yes : PromptAnswer::No});
            int runs = 0;
            QString user;
            const bool result = app::CUtilityApp::initInstance(
                {settings.path(), kDoubles / "none"}, prompter, [&](ui::CMainDlg& window) {
                    ++runs;
                    user = window.findChild<QLineEdit*>("1000")->text();
                });
            QVERIFY(!result);
            if (asked) {
                QCOMPARE(prompter.asked.size(), std::size_t(1));
                QCOMPARE(prompter.asked.front().text, std::string(kAolQuestion));
                QCOMPARE(prompter.asked.front().buttons, PromptButtons::YesNo);
                QCOMPARE(prompter.asked.front().icon, PromptIcon::None);
                QCOMPARE(prompter.asked.front().owner, PromptOwner::None);
            } else {
                QVERIFY(prompter.asked.empty());
            }
            if (asked && !yes) {
                QCOMPARE(runs, 0);
                QCOMPARE(readFile(ini), before);
                QCOMPARE(std::filesystem::exists(ini), !aol.isNull());
            } else {
                QCOMPARE(runs, 1);
                QCOMPARE(user, aol.isNull() ? QString() : QStringLiteral("orv1"));
                // The window's opening has settled the setting to "1" or "0".
                const std::string settled = asked ? "AOL=1\n" : "AOL=0\n";
                QVERIFY(readFile(ini).find(settled) != std::string::npos);
            }
        }
    }

    // OK and Cancel reach the real hang-up question through the window.
    void closingOffersHangUp_data() {
        QTest::addColumn<int>("button");
        QTest::newRow("OK") << 1006;
        QTest::newRow("Cancel") << 1011;
    }
    void closingOffersHangUp() {
        QFETCH(int, button);
        TempDir settings;
        DialUpState state("42 Office Line\n");
        test::ScriptedPrompter prompter({PromptAnswer::Yes});
        int result = -1;
        app::CUtilityApp::initInstance(
            {settings.path(), kDoubles / "full"}, prompter, [&](ui::CMainDlg& window) {
                window.show();
                QTest::mouseClick(window.findChild<QPushButton*>(QString::number(button)),
                                  Qt::LeftButton);
                result = window.result();
            });
        QCOMPARE(result, button == 1006 ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(prompter.texts(),
                 std::vector<std::string>{"Do you want to close connection to Office Line?"});
        QCOMPARE(state.calls(), enumCall() + "RasHangUpA 42\n");
        const std::string file = readFile(settings / "TYFTP.INI");
        QCOMPARE(file.find("User=") != std::string::npos, button == 1006);
    }
};

QTEST_MAIN(AppTest)
#include "AppTest.moc"
