#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QtTest>

#include "commands/CollectHistory.h"
#include "desktop/DailyTimer.h"
#include "desktop/Keyring.h"
#include "download/CollectState.h"
#include "settings/Keys.h"
#include "support/KeyringDaemon.h"
#include "support/ScriptedPrompter.h"
#include "support/TempDir.h"
#include "ui/CSetupDlg.h"
#include "ui/ControlIds.h"

using namespace tyq;
using tyq::test::readFile;
using tyq::test::TempDir;
using tyq::test::writeFile;

namespace {

struct Fixture {
    TempDir folder;
    settings::ProfileStore profiles{folder.path(),
                                    std::make_shared<desktop::Keyring>(desktop::Prompting::Never)};
    test::ScriptedPrompter prompter;
    std::unique_ptr<ui::CSetupDlg> dialog;

    // The user's units in the test's own folder, and no service manager to
    // reach: the real scheduling code writes the files and says so.
    Fixture() {
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((folder / "config").string()));
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    }
    std::filesystem::path iniFile() const { return folder / "TYFTP.INI"; }
    std::string file() const { return readFile(iniFile()); }
    bool fileExists() const { return std::filesystem::exists(iniFile()); }

    ui::CSetupDlg& open() {
        dialog = std::make_unique<ui::CSetupDlg>(profiles, prompter, folder / "state");
        dialog->show();
        dialog->activateWindow();
        if (!QTest::qWaitForWindowActive(dialog.get())) {
            throw std::runtime_error("setup window not active");
        }
        return *dialog;
    }
    QLineEdit* host() const { return dialog->findChild<QLineEdit*>("1013"); }
    QLineEdit* port() const { return dialog->findChild<QLineEdit*>("1014"); }
    QPushButton* button(int id) const {
        return dialog->findChild<QPushButton*>(ui::controlName(id));
    }
    QCheckBox* daily() const { return dialog->findChild<QCheckBox*>("1018"); }
    QTimeEdit* dailyTime() const { return dialog->findChild<QTimeEdit*>("1019"); }
    QCheckBox* keyring() const { return dialog->findChild<QCheckBox*>("1030"); }
};

const std::string kDefaultHost = settings::kDefaultHost;

int cursorX(const QLineEdit& field) {
    return field.inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
}

}  // namespace

class SetupDlgTest : public QObject {
    Q_OBJECT

  private slots:
    void controls() {
        Fixture f;
        auto& dialog = f.open();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Tessary Orv Mail Setup"));
        QCOMPARE(f.button(1)->text(), QStringLiteral("OK"));
        QCOMPARE(f.button(2)->text(), QStringLiteral("Cancel"));
        QCOMPARE(f.button(3)->text(), QStringLiteral("&Default"));
        QVERIFY(f.button(1)->isDefault());
        QCOMPARE(dialog.findChild<QLabel*>("label1013")->buddy(), f.host());
        QCOMPARE(dialog.findChild<QLabel*>("label1014")->buddy(), f.port());
        QCOMPARE(dialog.findChild<QLabel*>("label1013")->text(), QStringLiteral("QLM &Address:"));
        QCOMPARE(dialog.findChild<QLabel*>("label1014")->text(), QStringLiteral("&Port:"));
        QCOMPARE(f.host()->accessibleName(), QStringLiteral("QLM Address:"));
        QCOMPARE(f.port()->accessibleName(), QStringLiteral("Port:"));
        QCOMPARE(QApplication::focusWidget(), f.host());
        QCOMPARE(f.host()->nextInFocusChain(), f.port());
        auto* choice = dialog.findChild<QComboBox*>(ui::controlName(1016));
        QCOMPARE(choice->currentText(), QStringLiteral("Use TLS if the server offers it"));
        QCOMPARE(choice->count(), 3);
        QCOMPARE(choice->accessibleName(), QStringLiteral("Encryption:"));
        // What a screen reader hears: the label as its name, the choice as its value.
        auto* heard = QAccessible::queryAccessibleInterface(choice);
        QCOMPARE(heard->text(QAccessible::Name), QStringLiteral("Encryption:"));
        QCOMPARE(heard->text(QAccessible::Value), choice->currentText());
        QCOMPARE(heard->role(), QAccessible::ComboBox);
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        // No keyring answers: the choice is there, not offered.
        QCOMPARE(f.keyring()->text(), QStringLiteral("Keep the passwords in the desktop &keyring"));
        QVERIFY(!f.keyring()->isEnabled() && !f.keyring()->isChecked());
        QCOMPARE(f.keyring()->nextInFocusChain(), f.daily());
    }

    // OK moves the passwords as the choice says, and with the server when it
    // changes; the file keeps them only while the choice is off.
    void keyringChoiceMovesThePasswords() {
        Fixture f;
        test::KeyringDaemon daemon;
        daemon.start();
        writeFile(f.iniFile(), "[QLMORVMAIL]\nUser=u\nPass=ftp-pw\nQLMHost=h\n");
        const auto step = [&](bool click, const char* host, bool inFile) {
            f.open();
            QVERIFY(f.keyring()->isEnabled());
            if (click) {
                f.keyring()->click();
            }
            f.host()->setText(QString::fromLatin1(host));
            f.button(1)->click();
            QCOMPARE(f.file().find("Pass=ftp-pw") != std::string::npos, inFile);
        };
        step(true, "h", false);
        step(false, "other", false);
        step(true, "third", true);  // both in one OK
        QVERIFY(f.prompter.asked.empty());
    }

    void openingShowsStoredValuesCutToCapacity_data() {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("port");
        QTest::newRow("no file") << QString() << QString::fromStdString(kDefaultHost) << "21";
        QTest::newRow("stored") << "QLMHost=ftp.example.net\nPort=2121\n"
                                << "ftp.example.net"
                                << "2121";
        QTest::newRow("200-character host, 10-digit port")
            << "QLMHost=" + QString(200, 'h') + "\nPort=1234567890\n"
            << QString(127, 'h') << "1234567";
        // 126 letters and a two-byte letter: the cut leaves half a character,
        // which is dropped.
        QTest::newRow("host cut inside a character")
            << "QLMHost=" + QString(126, 'h') + QString::fromUtf8("\u00e9") + "\n"
            << QString(126, 'h') << "21";
        QTest::newRow("empty values stay empty") << "QLMHost=\nPort=\n"
                                                 << ""
                                                 << "";
    }
    void openingShowsStoredValuesCutToCapacity() {
        QFETCH(QString, ini);
        QFETCH(QString, host);
        QFETCH(QString, port);
        Fixture f;
        if (!ini.isNull()) {
            writeFile(f.iniFile(), "[QLMORVMAIL]\n" + ini.toStdString());
        }
        auto& dialog = f.open();
        QCOMPARE(f.host()->text(), host);
        QCOMPARE(f.port()->text(), port);
        QCOMPARE(dialog.m_strHost, host);
        QCOMPARE(dialog.m_strPort, port);
        QVERIFY(f.fileExists() == !ini.isNull());  // the opening writes nothing
    }

    void closingWritesOnlyOnOk_data() {
        QTest::addColumn<QString>("stored");  // QLMHost and Port in the file, or none
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("written");  // the file afterwards; null: no file
        const QString def = QString::fromStdString(kDefaultHost);
        QTest::newRow("Cancel writes nothing") << QString() << "edit cancel" << QString();
        QTest::newRow("Escape writes nothing") << QString() << "edit escape" << QString();
        QTest::newRow("Default then Cancel") << "a.example\n2121"
                                             << "default cancel"
                                             << "QLMHost=a.example\nPort=2121\n";
        QTest::newRow("Default then OK") << "a.example\n2121"
                                         << "default ok"
                                         << "QLMHost=" + def + "\nPort=21\n";
        QTest::newRow("unchanged OK writes both") << QString() << "ok"
                                                  << "QLMHost=" + def + "\nPort=21\n";
        QTest::newRow("typed values, OK") << QString() << "edit ok"
                                          << "QLMHost=mail.example.org\nPort=2121\n";
        QTest::newRow("Enter in the host field") << QString() << "edit enter"
                                                 << "QLMHost=mail.example.org\nPort=2121\n";
        // The encryption choice is written only when it changes the meaning.
        QTest::newRow("Require TLS, OK") << QString() << "require ok"
                                         << "QLMHost=" + def + "\nPort=21\nEncryption=Required\n";
        QTest::newRow("Plain kept, OK") << "a.example\n2121\nplain"
                                        << "ok"
                                        << "QLMHost=a.example\nPort=2121\nEncryption=plain\n";
        // So is the number of connections; arrows step it, within 1 to 8.
        QTest::newRow("one more connection, OK") << QString() << "up ok"
                                                 << "QLMHost=" + def + "\nPort=21\nConnections=3\n";
        QTest::newRow("one more and back, OK") << QString() << "up down ok"
                                               << "QLMHost=" + def + "\nPort=21\n";
        QTest::newRow("Plain, Default, OK")
            << "a.example\n2121\nPlain"
            << "default ok"
            << "QLMHost=" + def + "\nPort=21\nEncryption=IfOffered\n";
    }
    void closingWritesOnlyOnOk() {
        QFETCH(QString, stored);
        QFETCH(QString, actions);
        QFETCH(QString, written);
        Fixture f;
        if (!stored.isNull()) {
            const auto parts = stored.split('\n');
            writeFile(f.iniFile(),
                      "[QLMORVMAIL]\nQLMHost=" + parts[0].toStdString() +
                          "\nPort=" + parts[1].toStdString() + "\n" +
                          (parts.size() > 2 ? "Encryption=" + parts[2].toStdString() + "\n" : ""));
        }
        const std::string before = f.file();
        auto& dialog = f.open();
        for (const QString& action : actions.split(' ')) {
            if (action == "edit") {
                f.host()->selectAll();
                QTest::keyClicks(f.host(), "mail.example.org");
                f.port()->selectAll();
                QTest::keyClicks(f.port(), "2121");
            } else if (action == "default") {
                QTest::mouseClick(f.button(3), Qt::LeftButton);
                QCOMPARE(f.host()->text(), QString::fromStdString(kDefaultHost));
                QCOMPARE(f.port()->text(), QStringLiteral("21"));
                QCOMPARE(f.file(), before);
            } else if (action == "require") {
                auto* choice = dialog.findChild<QComboBox*>(ui::controlName(1016));
                choice->setCurrentIndex(choice->findText(QStringLiteral("Require TLS")));
            } else if (action == "up" || action == "down") {
                auto* spin = dialog.findChild<QSpinBox*>(ui::controlName(1017));
                QTest::keyClick(spin, action == "up" ? Qt::Key_Up : Qt::Key_Down);
            } else if (action == "ok") {
                QTest::mouseClick(f.button(1), Qt::LeftButton);
            } else if (action == "cancel") {
                QTest::mouseClick(f.button(2), Qt::LeftButton);
            } else if (action == "escape") {
                QTest::keyClick(f.port(), Qt::Key_Escape);
            } else if (action == "enter") {
                QTest::keyClick(f.host(), Qt::Key_Return);
            }
        }
        QVERIFY(!dialog.isVisible());
        if (written.isNull()) {
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(f.file(), before);
        } else {
            QCOMPARE(f.file(), "[QLMORVMAIL]\n" + written.toStdString());
        }
    }

    void longHostIsStoredCut() {
        Fixture f;
        writeFile(f.iniFile(), "[QLMORVMAIL]\nQLMHost=" + std::string(200, 'h') + "\n");
        f.open();
        QTest::mouseClick(f.button(1), Qt::LeftButton);
        QCOMPARE(f.file(), "[QLMORVMAIL]\nQLMHost=" + std::string(127, 'h') + "\nPort=21\n");
    }

    // The highest port shows whole, without scrolling, at every font size:
    // after five digits the cursor stands four digits right of where it does after one.
    void portShowsFiveDigits_data() {
        QTest::addColumn<int>("pointSize");
        for (const int size : {7, 9, 12, 16, 24}) {
            QTest::addRow("%dpt", size) << size;
        }
    }
    void portShowsFiveDigits() {
        QFETCH(int, pointSize);
        const QFont before = QApplication::font();
        QFont font = before;
        font.setPointSize(pointSize);
        QApplication::setFont(font);
        Fixture f;
        f.open();
        QApplication::setFont(before);
        for (const char digit : {'0', '8', '9'}) {
            f.port()->setText(QString(1, QLatin1Char(digit)));
            f.port()->end(false);
            const int one = cursorX(*f.port());
            f.port()->setText(QString(5, QLatin1Char(digit)));
            f.port()->end(false);
            const auto& metrics = f.port()->fontMetrics();
            QCOMPARE(cursorX(*f.port()) - one,
                     metrics.horizontalAdvance(QString(5, QLatin1Char(digit))) -
                         metrics.horizontalAdvance(QString(1, QLatin1Char(digit))));
            QVERIFY(f.port()->geometry().right() < f.dialog->width());
        }
    }

    void portTakesDigitsOnly() {
        Fixture f;
        f.open();
        f.port()->clear();
        QTest::keyClicks(f.port(), "2a1-b2 c1.");
        QCOMPARE(f.port()->text(), QStringLiteral("2121"));
        f.host()->clear();
        QTest::keyClicks(f.host(), "ftp-1.example");
        QCOMPARE(f.host()->text(), QStringLiteral("ftp-1.example"));
    }

    // The daily collection as the timer file tells it; OK changes the timer
    // only when the choice changed, and says what scheduling said. Below it,
    // the last collection, above the buttons however long its account.
    void dailyCollection_data() {
        QTest::addColumn<QString>("timer");  // scheduled before opening; null: none
        QTest::addColumn<QString>("actions");
        QTest::addColumn<QString>("after");   // the timer afterwards; null: none
        QTest::addColumn<QString>("prompt");  // the start of the box shown; null: none
        QTest::addColumn<QString>("ended");   // the last run's account; null: none
        // The last failure's account, on Tuesday, after that run as a success;
        // null: no history of the collections' outcomes.
        QTest::addColumn<QString>("failed");
        const QString hint = desktop::kNoServiceManagerHint;
        const QString failed = "12 new files from the mailbox, 10 extracted; 2 not fetched";
        const auto row = [](const char* name, QString timer, QString actions, QString after,
                            QString prompt, QString ended, QString failed = {}) {
            QTest::newRow(name) << timer << actions << after << prompt << ended << failed;
        };
        row("none, OK", {}, "ok", {}, {}, {});
        row("kept, OK", "06:15", "ok", "06:15", {}, "3 new files from the mailbox, 3 extracted");
        row("checked, OK", {}, "click ok", "07:00", hint, failed);
        row("other time, Cancel", "06:15", "time cancel", "06:15", {}, {});
        row("other time, OK", "06:15", "time ok", "18:40", hint, {});
        row("unchecked, OK", "06:15", "click ok", {}, {}, {});
        row("unit folder blocked", {}, "block click ok", {}, "The daily collection was not", {});
        row("failed since", {}, "ok", {}, {}, "Nothing new in the mailbox", "Could not log in: x");
        row("never succeeded", {}, "ok", {}, {}, {}, "Could not log in: x");
    }
    void dailyCollection() {
        QFETCH(QString, timer);
        QFETCH(QString, actions);
        QFETCH(QString, after);
        QFETCH(QString, prompt);
        QFETCH(QString, ended);
        QFETCH(QString, failed);
        qputenv("TZ", "UTC");
        tzset();
        Fixture f;
        QVERIFY(timer.isNull() || desktop::schedule(timer.toStdString()).ok());
        download::CollectState state(f.folder / "state");
        state.recordRun({1796628660, 3, ended.toStdString()});  // 2026-12-07 07:31 UTC
        QVERIFY(ended.isNull() || !state.save());
        QString shown =
            ended.isNull() ? "No collection yet" : "Last collection: Mon 7 Dec 07:31, " + ended;
        if (!failed.isNull()) {
            commands::CollectHistory history(f.folder / "state");
            if (!ended.isNull()) {
                history.take({1796628660, 0, ended.toStdString()}, {}, false);
            }
            history.take({1796715000, 75, failed.toStdString()}, "75 Could not log in", false);
            QVERIFY(!history.save());
            shown = (ended.isNull() ? "No successful collection yet"
                                    : "Last success: Mon 7 Dec 07:31, nothing new in the mailbox") +
                    QString("\nLast failure: Tue 8 Dec 07:30, could not log in: x");
        }
        f.open();
        QCOMPARE(f.daily()->isChecked(), !timer.isNull());
        QCOMPARE(f.dailyTime()->time().toString("HH:mm"), timer.isNull() ? "07:00" : timer);
        QLabel* last = f.dialog->findChild<QLabel*>("1020");
        QCOMPARE(last->text(), shown);
        QVERIFY(last->height() >= last->heightForWidth(last->width()));
        QVERIFY(last->geometry().top() > f.daily()->geometry().bottom());
        QVERIFY(f.button(1)->geometry().top() > last->geometry().bottom());
        for (const QString& action : actions.split(' ')) {
            if (action == "block") {
                writeFile(f.folder / "config", "not a folder");
            } else if (action == "click") {
                f.daily()->click();
                QCOMPARE(f.dailyTime()->isEnabled(), f.daily()->isChecked());
            } else if (action == "time") {
                f.dailyTime()->setTime(QTime(18, 40));
            } else {
                QTest::mouseClick(f.button(action == "ok" ? 1 : 2), Qt::LeftButton);
            }
        }
        const auto now = desktop::scheduledTime();
        QCOMPARE(now ? QString::fromStdString(*now) : QString(), after);
        const auto link = desktop::userUnitFolder() / "timers.target.wants" / desktop::kTimerUnit;
        QCOMPARE(std::filesystem::exists(link), !after.isNull());
        QCOMPARE(f.prompter.asked.size(), std::size_t(prompt.isNull() ? 0 : 1));
        QVERIFY(prompt.isNull() || f.prompter.texts()[0].starts_with(prompt.toStdString()));
    }

    // Every time the field can show makes a timer the service manager reads
    // as that time of every day.
    void everyDailyTimeIsACalendarTime() {
        Fixture f;
        f.open();
        QStringList expressions;
        QStringList expected;
        for (int minute = 0; minute < 24 * 60; ++minute) {
            f.dailyTime()->setTime(QTime(minute / 60, minute % 60));
            const std::string shown = f.dailyTime()->text().toStdString();
            QVERIFY2(desktop::isTimeOfDay(shown), shown.c_str());
            const std::string timer = desktop::timerUnitText(shown);
            const auto at = timer.find("OnCalendar=");
            QVERIFY(at != std::string::npos);
            expressions << QString::fromStdString(
                timer.substr(at + 11, timer.find('\n', at) - at - 11));
            expected << QStringLiteral("*-*-* %1:%2:00")
                            .arg(minute / 60, 2, 10, QChar('0'))
                            .arg(minute % 60, 2, 10, QChar('0'));
        }
        QProcess analyze;
        analyze.start("systemd-analyze", QStringList{"calendar"} + expressions);
        QVERIFY(analyze.waitForFinished(120000));
        QCOMPARE(analyze.exitCode(), 0);
        QStringList normalized;
        for (const QString& line : QString::fromUtf8(analyze.readAllStandardOutput()).split('\n')) {
            if (line.trimmed().startsWith("Normalized form: ")) {
                normalized << line.trimmed().mid(17);
            }
        }
        QCOMPARE(normalized, expected);
    }
};

QTEST_MAIN(SetupDlgTest)
#include "SetupDlgTest.moc"
