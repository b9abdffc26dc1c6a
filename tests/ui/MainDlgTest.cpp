#include <QAccessible>
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionProgressBar>
#include <QTextBrowser>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "common/DiskFullError.h"
#include "common/Log.h"
#include "common/Paths.h"
#include "desktop/Keyring.h"
#include "download/dialup/NmMock.h"
#include "settings/KeyringPasswords.h"
#include "settings/Keys.h"
#include "support/BothWays.h"
#include "support/KeyringDaemon.h"
#include "support/ScriptedPrompter.h"
#include "support/TempDir.h"
#include "ui/CAboutDlg.h"
#include "ui/CMainDlg.h"
#include "ui/CommandJob.h"
#include "ui/ControlIds.h"
#include "ui/DialogUnits.h"
#include "ui/HelpViewer.h"
#include "ui/Logging.h"
#include "ui/ProgressArea.h"
#include "ui/ProgressMeter.h"

using namespace tyq;
using tyq::test::bothWays;
using tyq::test::readFile;
using tyq::test::TempDir;
using tyq::test::writeFile;

namespace {

constexpr char kHeader[] = "[QLMORVMAIL]\n";

// The stored form of a zip password: every byte XOR 0xA7.
std::string scrambled(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7u);
    }
    return text;
}

// Counts the questions answered, for a command on the worker to wait on.
struct CountingPrompter : test::ScriptedPrompter {
    std::atomic<int> answered{0};
    // Runs once, while the next question is showing.
    std::function<void()> whileAsking;
    PromptAnswer ask(const Prompt& prompt) override {
        if (const auto showing = std::exchange(whileAsking, nullptr)) {
            showing();
        }
        const auto answer = ScriptedPrompter::ask(prompt);
        ++answered;
        return answer;
    }
};

// Waits on the worker, at most a minute, until done() holds.
template <typename Done>
bool waitFor(Done done) {
    for (int i = 0; i < 60000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

// One main window over a settings folder of its own, with its outside calls
// recorded.
struct Fixture {
    TempDir settings;
    settings::ProfileStore profiles{
        settings.path(), std::make_shared<desktop::Keyring>(desktop::Prompting::Allowed)};
    CountingPrompter prompter;
    int hangUps = 0;
    std::string fileAtHangUp;
    int downloads = 0;
    std::function<void(MainWindowPort&)> download = [this](MainWindowPort&) { ++downloads; };
    std::function<void(MainWindowPort&)> unzip = [](MainWindowPort&) {};
    // How the commands above end, as the window hears it.
    commands::CommandOutcome outcome;
    // The questions of the command running now.
    Prompter* asker = nullptr;
    std::filesystem::path executable;
    std::function<void(const std::string&)> showHelp;
    std::function<std::optional<std::string>(const std::string&)> chooseFolder;
    // Long enough that no test command ends with a notification unless it asks.
    std::chrono::milliseconds notifyAfter = std::chrono::hours(1);
    std::unique_ptr<ui::CMainDlg> window;

    std::filesystem::path iniFile() const { return settings / "TYFTP.INI"; }
    std::string file() const { return readFile(iniFile()); }

    ui::CMainDlg& open(bool show = true) {
        ui::MainDlgHooks hooks;
        hooks.offerHangUp = [this] {
            ++hangUps;
            fileAtHangUp = file();
        };
        hooks.download = [this](MainWindowPort& port, Prompter& questions) {
            asker = &questions;
            download(port);
            return outcome;
        };
        hooks.unzip = [this](MainWindowPort& port, Prompter& questions) {
            asker = &questions;
            unzip(port);
            return outcome;
        };
        hooks.executablePath = executable;
        if (showHelp) {
            hooks.showHelp = showHelp;
        }
        hooks.chooseFolder = chooseFolder;
        hooks.notifyAfter = notifyAfter;
        window =
            std::make_unique<ui::CMainDlg>(profiles, prompter, settings.path(), std::move(hooks));
        if (show) {
            window->show();
            window->activateWindow();
            if (!QTest::qWaitForWindowActive(window.get())) {
                throw std::runtime_error("main window not active");
            }
        }
        return *window;
    }

    // Waits until the command started last has ended and the window is at
    // rest again.
    bool ended() const {
        return QTest::qWaitFor([this] { return !window->commandRunning(); }, 60000);
    }

    template <typename T>
    T* control(int id) const {
        auto* widget = window->findChild<T*>(ui::controlName(id));
        if (widget == nullptr) {
            throw std::runtime_error("no control " + std::to_string(id));
        }
        return widget;
    }
    QLineEdit* field(int id) const { return control<QLineEdit>(id); }
    QPushButton* button(int id) const { return control<QPushButton>(id); }
    QCheckBox* aol() const { return control<QCheckBox>(ui::ids::kAol); }
    QLabel* progress() const { return control<QLabel>(ui::ids::kProgress); }
    QProgressBar* bar() const {
        return window->findChild<QProgressBar*>(QStringLiteral("progressBar"));
    }

    void fill(const char* user, const char* pass, const char* zip, const char* local) {
        field(ui::ids::kUser)->setText(QString::fromUtf8(user));
        field(ui::ids::kPass)->setText(QString::fromUtf8(pass));
        field(ui::ids::kZipPass)->setText(QString::fromUtf8(zip));
        field(ui::ids::kLocal)->setText(QString::fromUtf8(local));
    }
};

// Closes every modal dialog as soon as it shows, noting which one it was and
// its owner: lets a test open the window's own dialogs without a timer.
class ModalCloser : public QObject {
  public:
    QStringList shown;
    QList<QWidget*> owners;
    ModalCloser() { QCoreApplication::instance()->installEventFilter(this); }
    ~ModalCloser() override { QCoreApplication::instance()->removeEventFilter(this); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* dialog = qobject_cast<QDialog*>(watched);
        if (event->type() == QEvent::Show && dialog != nullptr && dialog->isModal()) {
            shown << dialog->objectName();
            owners << dialog->parentWidget();
            QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
        }
        return false;
    }
};

// A private session bus with python3-dbusmock's notification daemon and a
// file manager service on it, each logging the calls it gets to a file.
struct SessionMocks {
    test::NmMock bus{test::NmMock::Start::BusOnly};
    TempDir logs;
    QProcess notifications;
    QProcess fileManager;

    SessionMocks() {
        qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(bus.address()));
        start(notifications, {"-t", "notification_daemon"}, "org.freedesktop.Notifications");
        start(fileManager,
              {"org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
               "org.freedesktop.FileManager1"},
              "org.freedesktop.FileManager1");
        call("org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
             "org.freedesktop.DBus.Mock", "AddMethod", {"", "ShowFolders", "ass", "", ""});
    }
    ~SessionMocks() {
        for (QProcess* mock : {&notifications, &fileManager}) {
            mock->terminate();
            mock->waitForFinished(60000);
        }
    }
    void start(QProcess& mock, const QStringList& arguments, const QString& name) {
        const QString log = QString::fromStdString((logs / name.toStdString()).string());
        mock.start("/usr/bin/python3",
                   QStringList{"-m", "dbusmock", "--session", "-l", log} + arguments);
        const auto bus = QDBusConnection::sessionBus().interface();
        // Python's start-up, however long the machine takes.
        if (!QTest::qWaitFor([&] { return bus->isServiceRegistered(name).value(); }, 60000)) {
            throw std::runtime_error("no " + name.toStdString());
        }
    }
    static QDBusMessage call(const QString& service, const QString& path, const QString& interface,
                             const QString& method, const QVariantList& arguments) {
        auto message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return QDBusConnection::sessionBus().call(message);
    }
    std::string log(const char* name) const { return readFile(logs / name); }
};

}  // namespace

class MainDlgTest : public QObject {
    Q_OBJECT

  public slots:
    // The desktop's handler for file URLs, while a test stands in for it.
    void openedByHandler(const QUrl& url) { opened_ << url; }

  private:
    QList<QUrl> opened_;
    std::unique_ptr<SessionMocks> session_;

  private slots:

    void controlsTextsAndTabOrder() {
        Fixture f;
        auto& window = f.open();
        QCOMPARE(window.windowTitle(), QStringLiteral("Tessary FTP Utility (ORV Mail)"));

        struct Expect {
            int id;
            const char* text;
        };
        const Expect buttons[] = {{1004, "&Download Files"},
                                  {1005, "&Unzip Download Files"},
                                  {1006, "&OK"},
                                  {1011, "&Cancel"},
                                  {1009, "&Help"},
                                  {1008, "&Setup"},
                                  {1015, "&Browse..."}};
        for (const auto& expect : buttons) {
            auto* button = f.button(expect.id);
            QCOMPARE(button->text(), QString::fromUtf8(expect.text));
            // No default button: Enter is OK unless a button has the focus.
            QVERIFY(!button->autoDefault());
            QVERIFY(!button->isDefault());
        }
        QCOMPARE(f.aol()->text(), QStringLiteral("Use &AOL for the ISP"));

        const Expect labels[] = {{1000, "ORV Mail User &ID"},
                                 {1001, "ORV Mail FTP &Password"},
                                 {1002, "ORV Mail &Zip Password"},
                                 {1003, "&Location"}};
        for (const auto& expect : labels) {
            auto* label = window.findChild<QLabel*>(QStringLiteral("label%1").arg(expect.id));
            QVERIFY(label != nullptr);
            QCOMPARE(label->text(), QString::fromUtf8(expect.text));
            QCOMPARE(label->buddy(), f.field(expect.id));
            // Screen readers name the field as its label reads.
            QCOMPARE(f.field(expect.id)->accessibleName(),
                     QString::fromUtf8(expect.text).remove(QLatin1Char('&')));
        }
        QCOMPARE(f.field(1000)->echoMode(), QLineEdit::Normal);
        QCOMPARE(f.field(1001)->echoMode(), QLineEdit::Password);
        QCOMPARE(f.field(1002)->echoMode(), QLineEdit::Password);
        QCOMPARE(f.field(1003)->echoMode(), QLineEdit::Normal);

        // Tab order as the window reads: the check box, the four fields and
        // Browse, Open Folder below the progress, then the buttons.
        const QStringList expected{"1012", "1000", "1001", "1002", "1003", "1015", "openFolder",
                                   "1004", "1005", "1006", "1011", "1009", "1008"};
        QStringList order;
        QWidget* widget = f.aol();
        do {
            if (widget->focusPolicy() & Qt::TabFocus && widget->isVisible()) {
                order << widget->objectName();
            }
            widget = widget->nextInFocusChain();
        } while (widget != f.aol());
        QCOMPARE(order, expected);
        // The same with the keys, from where the window opens: Tab goes down
        // from User ID and comes round to the check box above it last;
        // Shift+Tab reaches it at once.
        QCOMPARE(QApplication::focusWidget(), f.field(1000));
        QStringList walked;
        for (qsizetype i = 0; i < expected.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walked << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(walked, expected.mid(2) + expected.mid(0, 2));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), f.aol());

        // Screen readers name the bar; the progress text keeps its text as
        // its name and is labelled by its caption.
        QCOMPARE(f.bar()->accessibleName(), QStringLiteral("Progress"));
        window.setProgressText("Finding the Files...");
        auto* text = QAccessible::queryAccessibleInterface(f.progress());
        QCOMPARE(text->text(QAccessible::Name), QStringLiteral("Finding the Files..."));
        const auto captions = text->relations(QAccessible::Label);
        QVERIFY(captions.size() == 1 &&
                captions.front().first->object()->objectName() == "labelProgress");

        // Open Folder is a button: focus shown by the style, and a Press action.
        auto* openFolder = window.findChild<QPushButton*>("openFolder");
        QVERIFY(openFolder != nullptr && openFolder->focusPolicy() == Qt::StrongFocus);
        auto* button = QAccessible::queryAccessibleInterface(openFolder);
        QCOMPARE(button->role(), QAccessible::Button);
        QVERIFY(button->actionInterface()->actionNames().contains(
            QAccessibleActionInterface::pressAction()));

        // The mnemonic of a label puts the focus into its field.
        QTest::keyClick(&window, Qt::Key_Z, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), f.field(1002));
    }

    void layoutFitsAndNothingOverlaps() {
        Fixture f;
        auto& window = f.open();
        QCOMPARE(window.minimumSize(), window.maximumSize());
        auto* area = window.findChild<QWidget*>("progressArea");
        QList<QWidget*> controls;
        for (auto* child : window.findChildren<QWidget*>(Qt::FindDirectChildrenOnly) +
                               area->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (!child->isWindow() && qobject_cast<QGroupBox*>(child) == nullptr) {
                controls << child;
            }
        }
        // 6 labels, the progress area, 4 fields, the check box, 7 buttons;
        // in the area its caption, the progress text, its detail and bar, Open Folder
        QCOMPARE(controls.size(), 19 + 5);
        // The bar shows only while a command runs, Open Folder only while none does.
        const QStringList alternate{"progressBar", "openFolder"};
        const auto inWindow = [&](QWidget* control) {
            return QRect(control->mapTo(&window, QPoint(0, 0)), control->size());
        };
        for (auto* control : controls) {
            const QString name = control->objectName();
            QVERIFY2(window.rect().contains(inWindow(control)), qPrintable(name));
            if (qobject_cast<QLabel*>(control) != nullptr && name != "1007") {
                QVERIFY2(control->sizeHint().width() <= control->width(), qPrintable(name));
            }
            QVERIFY2(control->sizeHint().height() <= control->height() || name == "1007" ||
                         name == "progressArea" || name == "progressDetail",
                     qPrintable(name));
            for (auto* other : controls) {
                const bool nested = control == area || other == area;
                if (other != control &&
                    !(nested &&
                      (control->parentWidget() == area || other->parentWidget() == area)) &&
                    !(alternate.contains(name) && alternate.contains(other->objectName()))) {
                    QVERIFY2(!inWindow(control).intersects(inWindow(other)),
                             qPrintable(name + " overlaps " + other->objectName()));
                }
            }
        }
    }

    void openingFillsFieldsAndRewritesAol_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("checked");
        QTest::addColumn<QString>("rewritten");
        QTest::newRow("missing") << QString() << false << "0";
        QTest::newRow("0") << "0" << false << "0";
        QTest::newRow("1") << "1" << true << "1";
        QTest::newRow("1x") << "1x" << true << "1";
        QTest::newRow("10") << "10" << true << "1";
        QTest::newRow("x1") << "x1" << false << "0";
        QTest::newRow("empty") << "" << false << "0";
    }
    void openingFillsFieldsAndRewritesAol() {
        QFETCH(QString, stored);
        QFETCH(bool, checked);
        QFETCH(QString, rewritten);
        Fixture f;
        // Longer than any named read's capacity: a path is shown whole.
        const std::string local = "/home/anna/QLM data/" + std::string(250, 'x');
        std::string ini = std::string(kHeader) +
                          "User=orv123\nPass=ftp secret\nFileUnZipPass=" + scrambled("zip&pw") +
                          "\nLocal=" + local + "\n";
        if (!stored.isNull()) {
            ini += "AOL=" + stored.toStdString() + "\n";
        }
        writeFile(f.iniFile(), ini);
        auto& window = f.open();

        QCOMPARE(f.field(1000)->text(), QStringLiteral("orv123"));
        QCOMPARE(f.field(1001)->text(), QStringLiteral("ftp secret"));
        QCOMPARE(f.field(1002)->text(), QStringLiteral("zip&pw"));
        QCOMPARE(f.field(1003)->text(), QString::fromStdString(local));
        QCOMPARE(window.m_strUser, std::string("orv123"));
        QCOMPARE(window.m_strPass, std::string("ftp secret"));
        QCOMPARE(window.m_strZipPass, std::string("zip&pw"));
        QCOMPARE(window.m_strLocal, local);
        QCOMPARE(f.aol()->isChecked(), checked);
        QCOMPARE(window.aolChecked(), checked);
        QCOMPARE(QApplication::focusWidget(), f.field(1000));

        const std::string head =
            std::string(kHeader) +
            "User=orv123\nPass=ftp secret\nFileUnZipPass=" + scrambled("zip&pw") +
            "\nLocal=" + local + "\n";
        QCOMPARE(f.file(), head + "AOL=" + rewritten.toStdString() + "\n");
        QVERIFY(f.prompter.asked.empty());
    }

    // While the passwords are in the keyring the window fills its fields from
    // it, or says why they stay empty; OK never puts them in the file.
    void openingFillsPasswordsFromTheKeyring_data() {
        QTest::addColumn<int>("state");  // unlocked, locked, stopped
        QTest::addColumn<QString>("pass");
        QTest::addColumn<QString>("detail");
        QTest::newRow("unlocked") << 0 << "ftp-pw"
                                  << "";
        QTest::newRow("locked") << 1 << ""
                                << "The password fields are empty: the keyring is locked";
        QTest::newRow("stopped") << 2 << ""
                                 << "The password fields are empty: no desktop keyring answers";
    }
    void openingFillsPasswordsFromTheKeyring() {
        QFETCH(int, state);
        QFETCH(QString, pass);
        QFETCH(QString, detail);
        Fixture f;
        test::KeyringDaemon daemon;
        daemon.start();
        writeFile(f.iniFile(), std::string(kHeader) + "User=orv1\nPass=ftp-pw\nQLMHost=h\n");
        QCOMPARE(settings::movePasswordsToKeyring(f.profiles), std::nullopt);
        state == 1 ? daemon.lock() : state == 2 ? daemon.stop() : void();
        auto& window = f.open();
        QCOMPARE(f.field(ui::ids::kPass)->text(), pass);
        QCOMPARE(window.findChild<QPlainTextEdit*>(QStringLiteral("progressDetail"))->toPlainText(),
                 detail);
        QTest::mouseClick(f.button(ui::ids::kOk), Qt::LeftButton);
        QCOMPARE(f.file().find("-pw"), std::string::npos);
        QVERIFY(f.file().find("PasswordsInKeyring=1") != std::string::npos);
    }

    void firstStartWithoutSettingsFile() {
        Fixture f;
        f.open();
        for (int id : {1000, 1001, 1002, 1003}) {
            QVERIFY(f.field(id)->text().isEmpty());
        }
        QVERIFY(!f.aol()->isChecked());
        QCOMPARE(f.file(), std::string(kHeader) + "AOL=0\n");
    }

    void okSavesFieldsInOrderThenOffersHangUp_data() {
        QTest::addColumn<bool>("aol");
        QTest::addColumn<QString>("path");
        QTest::newRow("unticked: AOL=0 written") << false << "button";
        QTest::newRow("ticked: AOL left alone") << true << "button";
        QTest::newRow("Enter in a field") << false << "enter";
    }
    void okSavesFieldsInOrderThenOffersHangUp() {
        QFETCH(bool, aol);
        QFETCH(QString, path);
        Fixture f;
        // A file that already holds every key, AOL last, so "AOL=0" shows as a
        // rewrite only when it is written.
        writeFile(f.iniFile(), std::string(kHeader) + "AOL=" + (aol ? "1" : "0") + "\n");
        auto& window = f.open();
        f.fill("orv 77", "p=ss", "zip", "/data/QLM");
        const std::string before = f.file();
        if (path == "enter") {
            QTest::keyClick(f.field(1003), Qt::Key_Return);
        } else {
            QTest::mouseClick(f.button(1006), Qt::LeftButton);
        }

        const std::string saved = std::string(kHeader) + "AOL=" + (aol ? "1" : "0") +
                                  "\nUser=orv 77\nPass=p=ss\nFileUnZipPass=" + scrambled("zip") +
                                  "\nLocal=/data/QLM\n";
        QCOMPARE(f.file(), saved);
        QCOMPARE(f.hangUps, 1);
        QCOMPARE(f.fileAtHangUp, saved);  // saved before the question
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Accepted));
        QCOMPARE(window.m_strUser, std::string("orv 77"));
        QVERIFY(before != saved);
    }

    // Values in another encoding show as Latin-1 and go back byte for byte
    // unless the user edits them; what the user types is stored as UTF-8.
    void valuesNotInUtf8RoundTrip() {
        Fixture f;
        writeFile(f.iniFile(), std::string(kHeader) +
                                   "User=M\xFCller\nPass=caf\xE9\nLocal=/data/\xC4rger\nAOL=1\n");
        auto& window = f.open();
        QCOMPARE(f.field(1000)->text(), QString::fromUtf8("M\u00fcller"));
        QCOMPARE(f.field(1003)->text(), QString::fromUtf8("/data/\u00c4rger"));
        f.field(1001)->setText(QString::fromUtf8("caf\u00e9!"));
        QTest::mouseClick(f.button(1006), Qt::LeftButton);
        QCOMPARE(f.file(), std::string(kHeader) +
                               "User=M\xFCller\nPass=caf\xC3\xA9!\nLocal=/data/\xC4rger\nAOL=1\n" +
                               "FileUnZipPass=\n");
        QVERIFY(!window.isVisible());
    }

    // Browse puts the chosen folder into Location and saves nothing; it
    // starts at the Location when that is a folder, else at home.
    void browseFillsLocation_data() {
        QTest::addColumn<bool>("existing");
        QTest::addColumn<bool>("chosen");
        QTest::newRow("from Location, chosen") << true << true;
        QTest::newRow("from home, cancelled") << false << false;
    }
    void browseFillsLocation() {
        QFETCH(bool, existing);
        QFETCH(bool, chosen);
        Fixture f;
        std::string start;
        f.chooseFolder = [&](const std::string& from) -> std::optional<std::string> {
            start = from;
            return chosen ? std::optional<std::string>("/picked/QLM \u00e9") : std::nullopt;
        };
        f.open();
        const QString typed =
            existing ? QString::fromStdString(f.settings.path().string()) : "/no/such/folder";
        f.field(1003)->setText(typed);
        const std::string before = f.file();
        QTest::mouseClick(f.button(1015), Qt::LeftButton);
        QCOMPARE(QString::fromStdString(start), existing ? typed : QDir::homePath());
        QCOMPARE(f.field(1003)->text(), chosen ? QString::fromUtf8("/picked/QLM \u00e9") : typed);
        QCOMPARE(f.file(), before);
    }

    void okWritesAolZeroEvenWhenItHoldsZero() {
        Fixture f;
        auto& window = f.open();
        // Written by the opening; remove it to see that OK writes it again.
        writeFile(f.iniFile(), std::string(kHeader));
        QTest::mouseClick(f.button(1006), Qt::LeftButton);
        QCOMPARE(f.file(), std::string(kHeader) + "User=\nPass=\nFileUnZipPass=\nLocal=\nAOL=0\n");
        QCOMPARE(window.result(), int(QDialog::Accepted));
    }

    void cancelPathsWriteNothing_data() {
        QTest::addColumn<QString>("path");
        QTest::newRow("Cancel button") << "button";
        QTest::newRow("close box") << "close";
        QTest::newRow("Escape in User ID") << "1000";
        QTest::newRow("Escape in Location") << "1003";
        QTest::newRow("Escape on the check box") << "1012";
    }
    void cancelPathsWriteNothing() {
        QFETCH(QString, path);
        Fixture f;
        writeFile(f.iniFile(), std::string(kHeader) + "User=kept\n");
        auto& window = f.open();
        const std::string before = f.file();
        f.fill("changed", "changed", "changed", "/changed");
        if (path == "button") {
            QTest::mouseClick(f.button(1011), Qt::LeftButton);
        } else if (path == "close") {
            window.close();
        } else {
            QTest::keyClick(window.findChild<QWidget*>(path), Qt::Key_Escape);
        }
        QCOMPARE(f.file(), before);
        QCOMPARE(f.hangUps, 1);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Rejected));
    }

    // Enter in a field or on the check box is OK; on a focused button it
    // presses that button.
    void enterMeansOkOrTheFocusedButton_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<int>("result");  // -1: the window stays open
        QTest::addColumn<int>("downloads");
        QTest::addColumn<QString>("dialog");
        for (int id : {1012, 1000, 1001, 1002, 1003, 1006}) {
            QTest::addRow("%d", id) << id << int(QDialog::Accepted) << 0 << "";
        }
        QTest::addRow("1004") << 1004 << -1 << 1 << "";
        QTest::addRow("1011") << 1011 << int(QDialog::Rejected) << 0 << "";
        QTest::addRow("1008") << 1008 << -1 << 0 << "setupDialog";
    }
    void enterMeansOkOrTheFocusedButton() {
        QFETCH(int, id);
        QFETCH(int, result);
        QFETCH(int, downloads);
        QFETCH(QString, dialog);
        Fixture f;
        auto& window = f.open();
        f.fill("u", "p", "z", "/l");
        auto* control = window.findChild<QWidget*>(ui::controlName(id));
        control->setFocus();
        ModalCloser closer;
        QTest::keyClick(control, Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(f.ended());
        QCOMPARE(window.isVisible(), result == -1);
        if (result != -1) {
            QCOMPARE(window.result(), result);
            QCOMPARE(f.hangUps, 1);
        }
        QCOMPARE(f.downloads, downloads);
        QCOMPARE(closer.shown, dialog.isEmpty() ? QStringList() : QStringList{dialog});
        QCOMPARE(f.file().find("User=u\n") != std::string::npos, result == int(QDialog::Accepted));
    }

    void aolFirstTickAsks_data() { bothWays("yes", "No", "Yes"); }
    void aolFirstTickAsks() {
        QFETCH(bool, yes);
        Fixture f;
        auto& window = f.open();
        f.fill("typed", "", "", "");
        const std::string before = f.file();
        f.prompter.answers = {yes ? PromptAnswer::Yes : PromptAnswer::No};
        QTest::mouseClick(f.aol(), Qt::LeftButton);

        QCOMPARE(f.prompter.asked.size(), std::size_t(1));
        const auto& question = f.prompter.asked.front();
        QCOMPARE(question.text, std::string(ui::kAolQuestion));
        QCOMPARE(question.text,
                 std::string("Have you logged in and connected to the\nInternet with AOL?\nPress "
                             "Yes to continue and  download files or \nedit parameters. Press No "
                             "to exit."));
        QCOMPARE(question.buttons, PromptButtons::YesNo);
        QCOMPARE(question.icon, PromptIcon::None);
        QCOMPARE(question.owner, PromptOwner::MainWindow);
        if (yes) {
            QVERIFY(window.isVisible());
            QVERIFY(f.aol()->isChecked());
            QCOMPARE(f.file(), std::string(kHeader) + "AOL=1\n");
            QCOMPARE(window.counters().aolToggles, 1);
        } else {
            QVERIFY(!window.isVisible());
            QCOMPARE(window.result(), int(QDialog::Rejected));
            QCOMPARE(f.file(), before);
            QCOMPARE(f.hangUps, 0);
            QCOMPARE(window.counters().aolToggles, 0);
        }
    }

    void aolLaterClicksDoNotAsk_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QStringList>("written");  // after each of three clicks
        QTest::newRow("starting ticked") << "1" << QStringList{"0", "1", "0"};
        QTest::newRow("starting unticked") << "0" << QStringList{"1", "0", "1"};
    }
    void aolLaterClicksDoNotAsk() {
        QFETCH(QString, stored);
        QFETCH(QStringList, written);
        Fixture f;
        writeFile(f.iniFile(), std::string(kHeader) + "AOL=" + stored.toStdString() + "\n");
        auto& window = f.open();
        // Starting unticked, the first click asks once; nothing after that.
        if (stored == "0") {
            f.prompter.answers = {PromptAnswer::Yes};
        }
        for (const QString& value : written) {
            QTest::mouseClick(f.aol(), Qt::LeftButton);
            QCOMPARE(f.file(), std::string(kHeader) + "AOL=" + value.toStdString() + "\n");
        }
        QCOMPARE(f.prompter.asked.size(), std::size_t(stored == "0" ? 1 : 0));
        QCOMPARE(window.counters().aolToggles, 3);
        QVERIFY(window.isVisible());
    }

    void commandErrorsShowStopBox_data() {
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        const QString full = "Disk full while accessing /work dir/QLMTYFTP.Log.";
        QTest::newRow("download, disk full") << 1004 << "disk" << full;
        QTest::newRow("unzip, disk full") << 1005 << "disk" << full;
        QTest::newRow("download, other error")
            << 1004 << "other"
            << "The command ended with an unexpected error: no socket";
        QTest::newRow("unzip, unknown throw") << 1005 << "unknown"
                                              << "The command ended with an unexpected error.";
    }
    void commandErrorsShowStopBox() {
        QFETCH(int, id);
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        Fixture f;
        auto thrower = [kind](MainWindowPort& port) {
            port.setProgressText("Downloading...");
            if (kind == "disk") {
                throw DiskFullError("/work dir/QLMTYFTP.Log");
            }
            if (kind == "other") {
                throw std::runtime_error("no socket");
            }
            throw 42;
        };
        (id == 1004 ? f.download : f.unzip) = thrower;
        auto& window = f.open();
        QTest::mouseClick(f.button(id), Qt::LeftButton);
        QVERIFY(f.ended());
        QCOMPARE(f.prompter.asked.size(), std::size_t(1));
        const auto& box = f.prompter.asked.front();
        QCOMPARE(QString::fromStdString(box.text), expected);
        QCOMPARE(box.icon, PromptIcon::Stop);
        QCOMPARE(box.buttons, PromptButtons::Ok);
        QCOMPARE(box.owner, PromptOwner::MainWindow);
        QVERIFY(window.isVisible());
        QCOMPARE(f.progress()->text(), QStringLiteral("Downloading..."));
    }

    // A job on its own: what its command gives reaches the window in order,
    // byte counts at most ten a second but each item's first and last always,
    // and after a stop no question is asked and no work handed over is begun.
    void jobCarriesCallsOver_data() {
        QTest::addColumn<QString>("command");
        for (const char* command : {"texts", "counts of one item", "counts of many items",
                                    "question after a stop", "work after a stop", "throw"}) {
            QTest::newRow(command) << QString(command);
        }
    }
    void jobCarriesCallsOver() {
        QFETCH(QString, command);
        // The job's diagnostic records, for two of its ends; none while off.
        const bool recorded = command == "throw" || command == "question after a stop";
        log::configure(recorded ? "ui" : "");
        ui::installLogging();
        TempDir scratch;
        const std::string records = (scratch / "stderr").string();
        const int savedStderr = ::dup(2);
        const int file = ::open(records.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        QVERIFY(savedStderr >= 0 && file >= 0 && ::dup2(file, 2) == 2);
        ::close(file);
        const auto restore = qScopeGuard([savedStderr] {
            ::dup2(savedStderr, 2);
            ::close(savedStderr);
            log::configure("");
            ui::installLogging();
        });
        QObject window;
        ProcessCounters counters;
        CountingPrompter prompter;
        prompter.answers = {PromptAnswer::Yes};
        std::vector<std::string> sent;
        std::vector<ByteProgress> counts;
        std::chrono::steady_clock::duration took{};
        std::optional<PromptAnswer> answer;
        bool worked = false;
        ui::CommandJob job(
            [&](MainWindowPort& port, Prompter& questions) {
                const auto start = std::chrono::steady_clock::now();
                if (command == "texts") {
                    for (int i = 0; i < 300; ++i) {
                        sent.push_back(std::to_string(i));
                        (i % 3 == 0 ? port.setProgressDetail(sent.back())
                                    : port.setProgressText(sent.back()));
                    }
                } else if (command.startsWith("counts")) {
                    const bool many = command.endsWith("many items");
                    for (int i = 0; i <= 2000; ++i) {
                        const int item = many ? 1 + i / 2 : 1;
                        const std::int64_t done = many ? (i % 2) * 10 : i;
                        port.setProgressBytes({"QLM.ZIP", item, 1001, done, many ? 10 : 2000});
                    }
                } else if (command == "throw") {
                    throw std::runtime_error("no socket");
                } else {
                    job.stop();
                    if (command == "question after a stop") {
                        answer = questions.ask(Prompt{"Go on?", PromptButtons::YesNo});
                    } else {
                        port.runOnWindowThread([&] { worked = true; });
                    }
                }
                took = std::chrono::steady_clock::now() - start;
                return commands::CommandOutcome{{}, command.toStdString(), "", 0, 0};
            },
            {}, counters, prompter, window);
        std::vector<std::string> got;
        std::vector<ByteProgress> passed;
        bool finished = false;
        const auto text = [&](const std::string& shown) { got.push_back(shown); };
        QObject::connect(&job, &ui::CommandJob::progressText, &window, text);
        QObject::connect(&job, &ui::CommandJob::progressDetail, &window, text);
        QObject::connect(&job, &ui::CommandJob::progressBytes, &window,
                         [&](const ByteProgress& progress) { passed.push_back(progress); });
        std::string ended;
        QObject::connect(&job, &ui::CommandJob::finished, &window,
                         [&](const commands::CommandOutcome& outcome) {
                             finished = true;
                             ended = outcome.headline;
                         });
        job.start();
        QVERIFY(QTest::qWaitFor([&] { return finished; }, 60000));
        const std::exception_ptr error = job.finish();
        QCOMPARE(bool(error), command == "throw");
        // The command's outcome reaches the window; one that threw has none.
        QCOMPARE(ended, command == "throw" ? std::string() : command.toStdString());
        QCOMPARE(got, sent);
        if (command == "counts of one item") {
            // The first and the last, and one a tenth of a second between.
            const auto tenths =
                std::chrono::duration_cast<std::chrono::milliseconds>(took).count() / 100;
            QVERIFY2(passed.size() >= 2 && passed.size() <= std::size_t(tenths + 3),
                     qPrintable(QString::number(passed.size())));
            QCOMPARE(passed.front().itemDone, std::int64_t(0));
            QCOMPARE(passed.back().itemDone, std::int64_t(2000));
        } else if (command == "counts of many items") {
            QCOMPARE(passed.size(), std::size_t(2001));
            for (std::size_t i = 0; i < passed.size(); ++i) {
                QCOMPARE(passed[i].itemNumber, 1 + int(i / 2));
            }
        }
        QCOMPARE(answer, command == "question after a stop"
                             ? std::optional<PromptAnswer>(PromptAnswer::No)
                             : std::nullopt);
        QVERIFY(!worked);
        QVERIFY(prompter.asked.empty());
        const QString written = QString::fromStdString(readFile(records));
        QCOMPARE(written.contains("tyqlmftp[ui]: command started\n"), recorded);
        if (recorded) {
            QVERIFY2(
                written.contains(command == "throw" ? "command ended by an exception\n"
                                                    : "a question went unanswered after a stop\n"
                                                      "tyqlmftp[ui]: command ended after a stop\n"),
                qPrintable(written));
        }
    }

    void commandsGetTheWindowAndItsFields() {
        Fixture f;
        StepOneTexts taken;
        bool aol = true;
        f.download = [&](MainWindowPort& port) {
            taken = port.takeStepOneFields();
            aol = port.aolChecked();
            port.setProgressText("Finding the Files...");
            port.setProgressDetail("530 Login incorrect.");
        };
        auto& window = f.open();
        f.fill("orv", "pw", "zip pw", "/q");
        QTest::mouseClick(f.button(1004), Qt::LeftButton);
        QVERIFY(f.ended());
        QCOMPARE(taken.user, std::string("orv"));
        QCOMPARE(taken.zipPass, std::string("zip pw"));
        QCOMPARE(taken.local, std::string("/q"));
        QCOMPARE(window.m_strPass, std::string("pw"));
        QCOMPARE(window.userId(), std::string("orv"));
        QVERIFY(!aol);
        QCOMPARE(f.progress()->text(), QStringLiteral("Finding the Files..."));
        auto* detail = window.findChild<QPlainTextEdit*>(QStringLiteral("progressDetail"));
        QCOMPARE(detail->toPlainText(), QStringLiteral("530 Login incorrect."));
        QVERIFY(detail->isVisible());
        window.focusProgressText();
        QCOMPARE(QApplication::focusWidget(), f.progress());
    }

    void inputDuringCommandIsDropped() {
        Fixture f;
        auto& window = f.open();
        // A click queued as the window system would deliver it.
        auto postClick = [](QWidget* widget) {
            const QPointF inside(widget->rect().center());
            const QPointF global(widget->mapToGlobal(inside.toPoint()));
            QCoreApplication::postEvent(
                widget, new QMouseEvent(QEvent::MouseButtonPress, inside, global, Qt::LeftButton,
                                        Qt::LeftButton, Qt::NoModifier));
            QCoreApplication::postEvent(
                widget, new QMouseEvent(QEvent::MouseButtonRelease, inside, global, Qt::LeftButton,
                                        Qt::NoButton, Qt::NoModifier));
        };
        // Clicks on the check box and Enter, queued while a command runs.
        auto queueInput = [&] {
            postClick(f.aol());
            QCoreApplication::postEvent(
                f.field(1000), new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
        };
        f.download = [&](MainWindowPort& port) {
            queueInput();
            port.setProgressText("Downloading Finished!");
        };
        QTest::mouseClick(f.button(1004), Qt::LeftButton);
        QVERIFY(f.ended());
        QCoreApplication::processEvents();
        QVERIFY(!f.aol()->isChecked());
        QVERIFY(window.isVisible());
        QVERIFY(f.prompter.asked.empty());

        // The same input outside a command does reach the window: the click
        // ticks the box (and asks), Enter then closes it with OK.
        f.prompter.answers = {PromptAnswer::Yes};
        postClick(f.aol());
        QCoreApplication::processEvents();
        QVERIFY(f.aol()->isChecked());
        QCOMPARE(f.prompter.asked.size(), std::size_t(1));
        f.field(1000)->setFocus();  // the click left it on a button, which takes Enter
        QCoreApplication::postEvent(
            f.field(1000), new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier));
        QCoreApplication::processEvents();
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Accepted));
    }

    // Each way to stop a running command asks first; Yes stops it, No lets it
    // go on, and a stop from the close box then closes by the Cancel path.
    void stopAsksThenStops_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("id");
        QTest::addColumn<bool>("yes");
        for (const char* how :
             {"Cancel", "Escape", "close box", "signal", "Cancel clicked", "Alt+C",
              "Space on Cancel", "Cancel clicked during a question", "close box, command ends"}) {
            for (const int id : {1004, 1005}) {
                for (const bool yes : {true, false}) {
                    if (QString(how) != "signal" || yes) {
                        QTest::addRow("%s, %d, %s", how, id, yes ? "Yes" : "No")
                            << QString(how) << id << yes;
                    }
                }
            }
        }
    }
    void stopAsksThenStops() {
        QFETCH(QString, how);
        QFETCH(int, id);
        QFETCH(bool, yes);
        Fixture f;
        f.prompter.answers = {yes ? PromptAnswer::Yes : PromptAnswer::No};
        // The command's own question comes second, and is answered Yes.
        const bool duringQuestion = how == "Cancel clicked during a question";
        // The command ends while the stop question is open: it closes.
        const bool endsAsked = how == "close box, command ends";
        std::atomic<bool> asking = false;
        bool questionClosed = false;
        if (endsAsked) {
            f.prompter.whileAsking = [&] {
                QMessageBox box(QMessageBox::Question, "", "Stop the download?",
                                QMessageBox::Yes | QMessageBox::No, f.window.get());
                asking = true;
                box.exec();
                questionClosed = true;
            };
        }
        if (duringQuestion) {
            f.prompter.answers.push_back(PromptAnswer::Yes);
        }
        std::optional<PromptAnswer> commandGot;
        auto& window = f.open();
        std::stop_token token;
        bool barShown = false;
        std::vector<int> barValues;
        QStringList barTexts;
        QString heardValue;
        QStringList enabledDuring;
        auto enabledNow = [&] {
            QStringList names;
            for (auto* c : window.findChildren<QWidget*>()) {
                if ((qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c)) &&
                    c->isEnabled() && c->isVisibleTo(&window)) {
                    names << c->objectName();
                }
            }
            return names;
        };
        const QStringList enabledBefore = enabledNow();
        (id == 1004 ? f.download : f.unzip) = [&](MainWindowPort& port) {
            token = port.stopToken();
            for (int done = 0; done <= 4; ++done) {
                port.setProgressBytes({"QLM1.ZIP", 1, 2, done * 25, 100, done * 25, 200});
            }
            // The next file, its count behind what was shown.
            port.setProgressBytes({"QLM2.ZIP", 2, 2, 0, -1, 40, 200});
            port.runOnWindowThread([&] {
                barShown = f.bar()->isVisible();
                barValues.push_back(f.bar()->value());
                barTexts << f.bar()->format() << f.bar()->accessibleDescription();
                heardValue = QAccessible::queryAccessibleInterface(f.bar())
                                 ->valueInterface()
                                 ->currentValue()
                                 .toString();
                enabledDuring = enabledNow();
            });
            // Input as the window system delivers it: to the window first.
            QWindow* handle = window.windowHandle();
            auto* cancelButton = f.button(1011);
            if (how == "Cancel clicked") {
                port.runOnWindowThread([&] {
                    QTest::mouseClick(handle, Qt::LeftButton, Qt::NoModifier,
                                      cancelButton->geometry().center());
                });
            } else if (how == "Alt+C") {
                port.runOnWindowThread(
                    [&] { QTest::keyClick(handle, Qt::Key_C, Qt::AltModifier); });
            } else if (how == "Space on Cancel") {
                port.runOnWindowThread([&] {
                    QVERIFY(QApplication::focusWidget() == cancelButton);
                    QTest::keyClick(handle, Qt::Key_Space);
                });
            } else if (duringQuestion) {
                f.prompter.whileAsking = [&] {
                    QTest::mouseClick(handle, Qt::LeftButton, Qt::NoModifier,
                                      cancelButton->geometry().center());
                    QVERIFY(QTest::qWaitFor([&] { return f.prompter.answered > 0; }, 60000));
                };
                commandGot = f.asker->ask(Prompt{"Go on?", PromptButtons::YesNo});
            }
            if (how == "Cancel") {
                auto* cancel = f.button(1011);
                const QPointF at(cancel->rect().center());
                for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                    QCoreApplication::postEvent(
                        cancel, new QMouseEvent(type, at, cancel->mapToGlobal(at), Qt::LeftButton,
                                                type == QEvent::MouseButtonPress ? Qt::LeftButton
                                                                                 : Qt::NoButton,
                                                Qt::NoModifier));
                }
            } else if (how == "Escape") {
                QCoreApplication::postEvent(
                    f.field(1000), new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
            } else if (how == "close box" || endsAsked) {
                QCoreApplication::postEvent(&window, new QCloseEvent);
            } else if (how == "signal") {
                QMetaObject::invokeMethod(&window, [&] { window.endOnRequest(); });
            }
            if (endsAsked) {
                QVERIFY(waitFor([&] { return asking.load(); }));
                port.setProgressText("after");
                return;
            }
            QVERIFY(waitFor([&] { return f.prompter.answered > 0 || token.stop_requested(); }));
            if (yes) {
                QVERIFY(waitFor([&] { return token.stop_requested(); }));
            }
            port.setProgressText("after");
        };
        QTest::mouseClick(f.button(id), Qt::LeftButton);
        QVERIFY(f.ended());

        QVERIFY(barShown);
        // Fill and text tell the whole run, and neither goes back; a file
        // counts once all its bytes are in.
        QCOMPARE(barValues, std::vector<int>{50});
        QCOMPARE(heardValue, QStringLiteral("50"));
        QVERIFY2(
            barTexts.size() == 2 && barTexts[0].contains("1 of 2 done") &&
                barTexts[0].contains("50%") &&
                barTexts[1].startsWith("QLM2.ZIP \u00b7 1 of 2 done \u00b7 100 of 200 bytes (50%)"),
            qPrintable(barTexts.join(" | ")));
        // Only Cancel stays enabled; everything is given back afterwards, and
        // the focus with it.
        QCOMPARE(enabledDuring, QStringList{"1011"});
        QCOMPARE(enabledNow(), enabledBefore);
        QCOMPARE(enabledBefore.size(), 13);
        QVERIFY(!f.bar()->isVisible());
        QCOMPARE(token.stop_requested(), yes && !endsAsked);
        QCOMPARE(questionClosed, endsAsked);
        QCOMPARE(f.progress()->text(), QStringLiteral("after"));
        if (how == "signal") {
            QVERIFY(f.prompter.asked.empty());
        } else {
            QCOMPARE(f.prompter.asked.size(), std::size_t(duringQuestion ? 2 : 1));
            const auto& question = f.prompter.asked.front();
            QCOMPARE(QString::fromStdString(question.text),
                     id == 1004 ? QStringLiteral("Stop the download?")
                                : QStringLiteral("Stop unzipping?"));
            QCOMPARE(question.icon, PromptIcon::Question);
            QCOMPARE(question.buttons, PromptButtons::YesNo);
        }
        // A stop answers the command's open question No.
        if (duringQuestion) {
            QCOMPARE(f.prompter.asked.back().text, std::string("Go on?"));
            QCOMPARE(commandGot, yes ? PromptAnswer::No : PromptAnswer::Yes);
        }
        const bool closes = yes && (how == "close box" || how == "signal");
        if (endsAsked) {
            // The end shows; the close box then just closes.
            QVERIFY(window.isVisible());
            QCOMPARE(f.hangUps, 0);
            window.close();
            QVERIFY(!window.isVisible());
            QCOMPARE(f.hangUps, 1);
            QCOMPARE(f.prompter.asked.size(), std::size_t(1));
            return;
        }
        QCOMPARE(window.isVisible(), !closes);
        QCOMPARE(f.hangUps, how == "close box" && yes ? 1 : 0);
        if (closes) {
            QCOMPARE(window.result(), int(QDialog::Rejected));
        } else {
            QCOMPARE(QApplication::focusWidget(), f.button(id));
        }
    }

    // The bar's numbers over runs on a clock of the test's own: the count
    // never goes back (a file fetched ahead is counted at its turn, a
    // restarted transfer counts from zero), the rate is smoothed, three
    // seconds without a byte is a wait, and the time left stands while the
    // bytes do. The bar, its text and what a screen reader hears agree.
    void progressMeterOverARun() {
        struct Step {
            int ms, item;             // item 0: no count, only a reading; -1: a new run
            std::int64_t all, total;  // reported
            std::int64_t done;        // and what is shown then
            int fill, items;
            double rate, left;
            bool waiting;
        };
        // One sample's weight after a second.
        const double w = 1 - std::exp(-0.2);
        const double r1 = 50 + w * 50;
        const Step run[] = {
            {0, 1, 0, 300, 0, 0, 0, 0, -1, false},
            {1000, 1, 50, 300, 50, 16, 0, 50, 5, false},
            {2000, 1, 100, 300, 100, 33, 1, 50, 4, false},
            {2000, 2, 100, 300, 100, 33, 1, 50, 4, false},
            {3000, 2, 200, 300, 200, 66, 2, r1, 100 / r1, false},  // faster, smoothed
            {3500, 2, 150, 300, 200, 66, 2, r1, 100 / r1, false},  // restart
            {5999, 0, 0, 0, 200, 66, 2, r1, 100 / r1, false},
            {6000, 0, 0, 0, 200, 66, 2, r1, 100 / r1, true},  // three seconds after the last byte
            {9000, 2, 200, 300, 200, 66, 2, r1, 100 / r1, true},   // a count without bytes
            {9500, 3, 250, 300, 250, 83, 2, r1, 100 / r1, false},  // bytes again, a new sample
            {10500, 3, 300, 300, 300, 100, 3, r1 + w * (50 - r1), -1, false},
            // The sizes are not known: the items tell the fill, and the last
            // one's size the run's.
            {0, -1, 0, -1, 0, 0, 0, 0, -1, false},
            {1000, 1, 500, -1, 500, 25, 0, 500, 3, false},
            {2000, 2, 1000, -1, 1000, 50, 1, 500, 2, false},
            {3000, 2, 1500, -1, 1500, 75, 1, 500, 1, false},
        };
        ui::ProgressMeter meter;
        const auto zero = ui::ProgressMeter::Clock::time_point{} + std::chrono::hours(1);
        auto now = zero;
        QWidget window;
        window.resize(800, 400);
        ui::ProgressArea area(ui::DialogUnits(window.font()), 0, 0, &window, [&] { return now; });
        auto* bar = area.findChild<QProgressBar*>("progressBar");
        window.show();
        for (const auto& step : run) {
            now = zero + std::chrono::milliseconds(step.ms);
            if (step.item < 0 || &step == run) {
                meter.start(now);
                area.startRun();
            }
            if (step.item != 0) {
                // Items of 100 bytes when the sizes are known, 1000 when not.
                const int item = std::abs(step.item);
                const bool sized = step.total >= 0;
                const std::int64_t size = sized ? 100 : 1000;
                const ByteProgress counted{
                    "QLM.ZIP", item,     sized ? 3 : 2, step.all - (item - 1) * size,
                    size,      step.all, step.total};
                meter.report(counted, now);
                area.report(counted);
            }
            area.refresh();
            const auto shown = meter.reading(now);
            const QString at = QStringLiteral("at %1 ms: ").arg(step.ms) + bar->format();
            QVERIFY2(shown.reported && shown.done == step.done && shown.fill == step.fill &&
                         shown.percent == step.fill && shown.itemsDone == step.items &&
                         shown.waiting == step.waiting && std::abs(shown.rate - step.rate) < 1e-6 &&
                         std::abs(shown.secondsLeft - step.left) < 1e-6,
                     qPrintable(at));
            // The text fits where the style draws it: nothing cut at either end.
            QStyleOptionProgressBar drawn;
            drawn.initFrom(bar);
            drawn.textVisible = true;
            QVERIFY(bar->fontMetrics().horizontalAdvance(bar->format()) <=
                    bar->style()->subElementRect(QStyle::SE_ProgressBarLabel, &drawn, bar).width());
            auto* heard = QAccessible::queryAccessibleInterface(bar);
            QVERIFY2(bar->value() == step.fill &&
                         heard->valueInterface()->currentValue().toInt() == step.fill &&
                         bar->format().contains(QStringLiteral("%1%").arg(step.fill)) &&
                         bar->accessibleDescription().contains(
                             QStringLiteral("%1 of %2 done").arg(step.items).arg(shown.itemCount)),
                     qPrintable(at));
        }
    }

    // A command's end: a summary where the command left no detail, a
    // notification when the window is in the background, and its Open Folder
    // action through the file manager's bus service, else the URL handler.
    void endSummaryNotificationAndOpenFolder_data() {
        QTest::addColumn<bool>("failed");
        QTest::addColumn<bool>("background");
        QTest::addColumn<bool>("fileManager");
        QTest::newRow("ended well, in front") << false << false << true;
        QTest::newRow("ended well, behind") << false << true << true;
        QTest::newRow("failed, behind") << true << true << true;
        QTest::newRow("no file manager") << false << true << false;
    }
    void endSummaryNotificationAndOpenFolder() {
        QFETCH(bool, failed);
        QFETCH(bool, background);
        QFETCH(bool, fileManager);
        if (!session_) {
            session_ = std::make_unique<SessionMocks>();
        }
        if (!fileManager) {
            session_->fileManager.terminate();
            QTRY_VERIFY_WITH_TIMEOUT(
                !QDBusConnection::sessionBus().interface()->isServiceRegistered(
                    "org.freedesktop.FileManager1"),
                60000);
        }
        const auto notified = session_->log("org.freedesktop.Notifications").size();
        const auto shown = session_->log("org.freedesktop.FileManager1").size();
        Fixture f;
        TempDir top;
        // Longer than a line of the detail: the label breaks it, the
        // notification has it whole. A space and a non-ASCII letter go
        // percent-encoded to the file manager.
        const std::filesystem::path local = top / ("ORV D\u00e4ta " + std::string(150, 'L'));
        std::filesystem::create_directory(local);
        f.notifyAfter = std::chrono::milliseconds(0);
        f.download = [&](MainWindowPort& port) {
            port.setProgressBytes({"QLMA.ZIP", 1, 2, 1000, 1000, 1000});
            port.setProgressBytes({"QLMB.ZIP", 2, 2, 2000, 2000, 3000});
            port.setProgressText("Downloading Finished!");
            if (failed) {
                port.setProgressDetail("530 Login incorrect.");
            }
        };
        // The summary and the notification come of the outcome, not of the
        // labels: the bytes shown are not the command's word on what it did.
        f.outcome = {{}, "Downloading Finished!", failed ? "530 Login incorrect." : "", 2, 3000};
        auto& window = f.open();
        f.fill("orv", "pw", "", local.c_str());
        QWidget other;
        if (background) {
            other.show();
            other.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&other));
        }
        QTest::mouseClick(f.button(1004), Qt::LeftButton);
        QVERIFY(f.ended());

        const QString folder = QString::fromStdString(local.string());
        // Whole; the box breaks a long folder's path.
        const QString detail = window.findChild<QPlainTextEdit*>("progressDetail")->toPlainText();
        if (failed) {
            QCOMPARE(detail, QStringLiteral("530 Login incorrect."));
        } else {
            QVERIFY2(detail.startsWith(QStringLiteral("2 files \u00b7 3.0 kB \u00b7 ")) &&
                         detail.endsWith(QStringLiteral(" s \u00b7 ") + folder),
                     qPrintable(detail));
        }
        // The window has the server's answer to its notification before the
        // command's end shows: the server has logged it.
        const std::string log = session_->log("org.freedesktop.Notifications");
        const std::string sent = log.substr(notified);
        QCOMPARE(sent.find("Notify") != std::string::npos, background);
        if (!background) {
            return;
        }
        // By the program's display name, for its desktop entry; a click on it
        // or its button opens the folder; a failure is critical.
        const QUrl url = QUrl::fromLocalFile(folder);
        const std::string key = "app.open-folder('" + url.toEncoded().toStdString() + "')";
        const std::string said =
            " Notify \"Tessary FTP Utility (ORV Mail)\" 0 \"tyqlmftp\" \"Downloading Finished!\" "
            "\"" +
            detail.toStdString() + "\" [\"default\", \"Open Folder\", \"" + key +
            "\", \"Open Folder\"] {\"desktop-entry\": \"org.tessary.tyqlmftp\", \"urgency\": " +
            (failed ? "2" : "1") + "}";
        QVERIFY2(sent.find(said) != std::string::npos, sent.c_str());

        // The daemon numbers its notifications from 1: a click on the action.
        const auto id = uint(QString::fromStdString(log).count(" Notify "));
        QDesktopServices::setUrlHandler("file", this, "openedByHandler");
        opened_.clear();
        SessionMocks::call(
            "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.DBus.Mock", "EmitSignal",
            {"org.freedesktop.Notifications", "ActionInvoked", "us",
             QVariantList{id, failed ? QString("default") : QString::fromStdString(key)}});
        if (fileManager) {
            QTRY_VERIFY_WITH_TIMEOUT(
                session_->log("org.freedesktop.FileManager1")
                        .substr(shown)
                        .find("ShowFolders [\"" + url.toEncoded().toStdString() + "\"]") !=
                    std::string::npos,
                60000);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(opened_, QList<QUrl>{url}, 60000);
            // The button from the keyboard: Shift+Tab from Download, then
            // Enter; and a screen reader's Press.
            f.button(1004)->setFocus();
            QTest::keyClick(f.button(1004), Qt::Key_Backtab, Qt::ShiftModifier);
            QCOMPARE(window.focusWidget()->objectName(), QStringLiteral("openFolder"));
            QTest::keyClick(window.focusWidget(), Qt::Key_Return);
            QTRY_COMPARE_WITH_TIMEOUT(opened_, (QList<QUrl>{url, url}), 60000);
            QAccessible::queryAccessibleInterface(window.focusWidget())
                ->actionInterface()
                ->doAction(QAccessibleActionInterface::pressAction());
            QTRY_COMPARE_WITH_TIMEOUT(opened_, (QList<QUrl>{url, url, url}), 60000);
            QVERIFY(window.isVisible());
        }
        QDesktopServices::unsetUrlHandler("file");
        QVERIFY(f.prompter.asked.empty());
    }

    void endRequestAtRestClosesWithoutTheHangUpQuestion() {
        Fixture f;
        auto& window = f.open();
        f.fill("typed", "", "", "");
        window.endOnRequest();
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Rejected));
        QCOMPARE(f.hangUps, 0);
        QVERIFY(f.prompter.asked.empty());
        QVERIFY(f.file().find("typed") == std::string::npos);
    }

    void progressTextLineBreakShowsOnTwoLines() {
        Fixture f;
        f.open();
        auto* label = f.progress();
        QCOMPARE(label->frameShadow(), QFrame::Sunken);
        QVERIFY(label->frameShape() != QFrame::NoFrame);
        QVERIFY(label->wordWrap());

        f.window->setProgressText("Unzipping files in progress...");
        const int oneLine = label->heightForWidth(label->width());
        f.window->setProgressText("Unable to create the directory\n/data/<QLM>");
        QCOMPARE(label->text(), QStringLiteral("Unable to create the directory\n/data/<QLM>"));
        const int twoLines = label->heightForWidth(label->width());
        QVERIFY(twoLines > oneLine);
        QVERIFY2(twoLines <= label->height(), "the second line is clipped");
        QCOMPARE(label->textFormat(), Qt::PlainText);
        // The longest stock text fits whole, and a two-line detail below it.
        f.window->setProgressText(
            "An exception occurred when attempting to create an FTP connection.\r\n  Please "
            "check your internet configuration and make sure your environment\r\n is set up "
            "with WININET.DLL in the path.");
        QVERIFY(label->heightForWidth(label->width()) <= label->height());
        auto* detail = f.window->findChild<QPlainTextEdit*>(QStringLiteral("progressDetail"));
        // Every word of a long detail is there: it wraps, and scrolls past
        // its lines, with the keyboard too; no tool tip stands in for it.
        const QString reason = "QLM%1.ZIP failed: 550 not on the server";
        QStringList reasons;
        for (int failures = 1; failures <= 40; ++failures) {
            reasons << reason.arg(1200 + failures);
            const QString whole = "3 of 44 files downloaded; " + reasons.join("; ");
            f.window->setProgressDetail(whole.toStdString());
            QCOMPARE(detail->toPlainText(), whole);
            QVERIFY(detail->toolTip().isEmpty() && label->toolTip().isEmpty());
            const bool more = detail->verticalScrollBar()->maximum() > 0;
            QCOMPARE(bool(detail->focusPolicy() & Qt::TabFocus), more);
            QVERIFY(more || failures < 3);
        }
        QCOMPARE(detail->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QVERIFY(detail->geometry().top() >= label->geometry().bottom());
    }

    void helpRunsInTheProgramFolder_data() { bothWays("byKey", "Help button", "F1"); }
    void helpRunsInTheProgramFolder() {
        QFETCH(bool, byKey);
        TempDir programFolder;
        TempDir elsewhere;
        const auto folder = std::filesystem::canonical(programFolder.path()) / "Apps dir";
        std::filesystem::create_directories(folder);
        Fixture f;
        f.executable = folder / "tyqlmftp";
        std::vector<std::string> files;
        std::vector<std::string> during;
        f.showHelp = [&](const std::string& file) {
            files.push_back(file);
            during.push_back(currentDirectory().value_or("?"));
        };
        auto& window = f.open();
        const auto start = std::filesystem::current_path();
        std::filesystem::current_path(elsewhere.path());
        if (byKey) {
            QTest::keyClick(f.field(1001), Qt::Key_F1);
        } else {
            QTest::mouseClick(f.button(1009), Qt::LeftButton);
        }
        const auto after = currentDirectory();
        std::filesystem::current_path(start);

        QCOMPARE(files, std::vector<std::string>{(folder / "tyqlmftp.hlp").string()});
        QCOMPARE(during, std::vector<std::string>{folder.string()});
        QCOMPARE(after.value_or("?"), std::filesystem::canonical(elsewhere.path()).string());
        QVERIFY(window.isVisible());
        QVERIFY(f.prompter.asked.empty());
    }

    void helpViewerShowsTheFileOrSaysItIsMissing() {
        TempDir programFolder;
        Fixture f;
        f.executable = programFolder / "tyqlmftp";
        auto& window = f.open();
        QTest::mouseClick(f.button(1009), Qt::LeftButton);
        QVERIFY(window.helpViewer() != nullptr);
        QVERIFY(window.helpViewer()->isVisible());
        const QString missing = window.helpViewer()->browser().toPlainText();
        QVERIFY2(missing.contains("missing") && missing.contains(QString::fromStdString(
                                                    (programFolder / "tyqlmftp.hlp").string())),
                 qPrintable(missing));

        // The help file the program ships.
        std::filesystem::copy_file(TYQ_SOURCE_DIR "/resources/tyqlmftp.hlp",
                                   programFolder / "tyqlmftp.hlp");
        QTest::mouseClick(f.button(1009), Qt::LeftButton);
        const QString help = window.helpViewer()->browser().toPlainText();
        for (const char* phrase :
             {"Download Files", "Unzip Download Files", "TYFTP.INI", "QLMTYFTP.Log",
              "Disk full while accessing", "Do you want to close connection to"}) {
            QVERIFY2(help.contains(QString::fromUtf8(phrase)), phrase);
        }
    }

    void setupAndAboutOpenModallyOwnedByTheWindow() {
        Fixture f;
        auto& window = f.open();
        writeFile(f.iniFile(), std::string(kHeader) + "QLMHost=kept.example\n");
        ModalCloser closer;
        QTest::mouseClick(f.button(1008), Qt::LeftButton);
        const auto menu = window.windowMenu();
        QCOMPARE(menu->actions().size(), 1);
        QCOMPARE(menu->actions().front()->text(), QStringLiteral("&About Korvatt..."));
        menu->actions().front()->trigger();
        QCoreApplication::processEvents();
        QCOMPARE(closer.shown, (QStringList{"setupDialog", "aboutDialog"}));
        QCOMPARE(closer.owners, (QList<QWidget*>{&window, &window}));
        QVERIFY(window.isVisible());
        QCOMPARE(f.file(), std::string(kHeader) + "QLMHost=kept.example\n");
    }

    void aboutBox() {
        ui::CAboutDlg about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About Korvatt"));
        QCOMPARE(about.findChild<QLabel*>("aboutVersion")->text(),
                 QStringLiteral("Korvatt Version 1.1"));
        QVERIFY(!about.findChild<QLabel*>("aboutLine")->text().isEmpty());
        QVERIFY(about.findChild<QPushButton*>("1")->isDefault());
        QCOMPARE(about.minimumSize(), about.maximumSize());
        about.show();
        QVERIFY(QTest::qWaitForWindowActive(&about));
        QTest::keyClick(&about, Qt::Key_Escape);
        QVERIFY(!about.isVisible());
    }
};

QTEST_MAIN(MainDlgTest)
#include "MainDlgTest.moc"
