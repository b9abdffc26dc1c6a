// The phonebook dialog over python3-dbusmock's NetworkManager: directly as a
// widget, and through the dialog library's entry as the program calls it.
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <functional>

#include "NmMock.h"
#include "common/DialUpApi.h"
#include "common/SharedLibrary.h"
#include "download/dialup/PhonebookDialog.h"

using tyq::dialup::Listing;
using tyq::dialup::NetworkManager;
using tyq::dialup::PhonebookDialog;
using tyq::test::NmMock;

namespace {

const std::filesystem::path kBin = TYQ_BIN_DIR;

const char kRefuse[] =
    "raise dbus.exceptions.DBusException('Not authorized', "
    "name='org.freedesktop.NetworkManager.PermissionDenied')";
// Starts a connection that is still coming up, as a modem does.
const char kComingUp[] =
    "ret = dbus.ObjectPath(objects['/org/freedesktop'].AddActiveConnection("
    "[], args[0], '/', '60', dbus.UInt32(1)))";
const char kComingUpPath[] = "/org/freedesktop/NetworkManager/ActiveConnection/60";

QStringList itemTexts(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) {
        out << list->item(i)->text();
    }
    return out;
}

bool selectEntry(QListWidget* list, const QString& text) {
    const auto found = list->findItems(text, Qt::MatchExactly);
    if (found.size() != 1) {
        return false;
    }
    list->setCurrentItem(found.front());
    return true;
}

// Counts windows shown while it lives.
class ShowCounter : public QObject {
  public:
    ShowCounter() { qApp->installEventFilter(this); }
    ~ShowCounter() override { qApp->removeEventFilter(this); }
    int shown = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && watched->isWidgetType() &&
            static_cast<QWidget*>(watched)->isWindow()) {
            ++shown;
        }
        return false;
    }
};

// Runs the entry as the program does; `drive` acts on the modal dialog once
// it is up.
int32_t runEntry(const std::function<void(QDialog*)>& drive, TyRasPbDlgA& info) {
    tyq::SharedLibrary library(kBin / TY_RASDLG_LIBRARY);
    const auto entry = library.entryAs<TyRasPhonebookDlgA>("RasPhonebookDlgA");
    if (entry == nullptr) {
        qWarning() << "no entry:" << QString::fromStdString(library.error());
        return -1;
    }
    QTimer driver;
    driver.setInterval(10);
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog != nullptr && dialog->isVisible()) {
            driver.stop();
            drive(dialog);
        }
    });
    driver.start();
    return entry(nullptr, nullptr, &info);
}

// The same with a record of the size the entry expects.
int32_t runEntry(const std::function<void(QDialog*)>& drive) {
    TyRasPbDlgA info{};
    info.dwSize = TY_RAS_PBDLG_SIZE;
    return runEntry(drive, info);
}

}  // namespace

class PhonebookDialogTest : public QObject {
    Q_OBJECT

  private slots:
    void listsOnlyDialUpProfiles() {
        NmMock mock;
        mock.addProfile("Wired", "802-3-ethernet");
        mock.addProfile("Mobile", "gsm");
        mock.addProfile("Home", "802-11-wireless");
        mock.activate(mock.addProfile("DSL line", "pppoe"));
        mock.addProfile("Phone", "bluetooth", "dun");
        mock.addProfile("Tablet", "bluetooth", "panu");
        NetworkManager manager;
        PhonebookDialog dialog(manager, manager.list());
        dialog.show();
        const auto* profiles = dialog.findChild<QListWidget*>("profiles");
        QVERIFY(profiles != nullptr);
        QCOMPARE(itemTexts(profiles), QStringList({"Mobile", "DSL line", "Phone"}));
        QCOMPARE(dialog.findChild<QLabel*>("status")->text(), QString("Connected: DSL line."));
        // Nothing chosen yet: nothing to dial.
        QVERIFY(!dialog.findChild<QPushButton*>("dial")->isEnabled());

        // An entry named by the caller comes chosen.
        PhonebookDialog named(manager, manager.list(), "Phone");
        QCOMPARE(named.findChild<QListWidget*>("profiles")->currentItem()->text(),
                 QString("Phone"));
        QVERIFY(named.findChild<QPushButton*>("dial")->isEnabled());
    }

    void dialWaitsUntilTheConnectionIsUp() {
        NmMock mock;
        mock.addProfile("Mobile", "gsm");
        mock.replaceManagerMethod("ActivateConnection", "ooo", "o", kComingUp);
        NetworkManager manager;
        PhonebookDialog dialog(manager, manager.list());
        dialog.show();
        auto* status = dialog.findChild<QLabel*>("status");
        auto* dial = dialog.findChild<QPushButton*>("dial");
        QCOMPARE(status->text(), QString("Not connected."));
        QVERIFY(selectEntry(dialog.findChild<QListWidget*>("profiles"), "Mobile"));
        QTest::mouseClick(dial, Qt::LeftButton);

        QCOMPARE(status->text(), QString("Dialling Mobile..."));
        QVERIFY(!dial->isEnabled());
        QVERIFY(dialog.findChild<QPushButton*>("close")->isEnabled());
        mock.setActiveState(kComingUpPath, tyq::dialup::kStateActivated);
        QTRY_COMPARE(status->text(), QString("Connected to Mobile."));
        QVERIFY(dialog.dialled());
        QVERIFY(dial->isEnabled());
    }

    void dialFailureIsShown_data() {
        QTest::addColumn<QString>("activateCode");
        QTest::addColumn<int>("laterState");  // 0: no change after the request
        QTest::addColumn<QString>("expected");
        QTest::newRow("refused") << QString(kRefuse) << 0
                                 << QString("Could not connect to Mobile: Not authorized.");
        QTest::newRow("fails while coming up")
            << QString(kComingUp) << int(tyq::dialup::kStateDeactivated)
            << QString("Could not connect to Mobile: the connection failed.");
        QTest::newRow("line drops at once")
            << QString(
                   "ret = dbus.ObjectPath(objects['/org/freedesktop'].AddActiveConnection("
                   "[], args[0], '/', '60', dbus.UInt32(4)))")
            << 0 << QString("Could not connect to Mobile: the connection failed.");
    }

    void dialFailureIsShown() {
        QFETCH(QString, activateCode);
        QFETCH(int, laterState);
        QFETCH(QString, expected);
        NmMock mock;
        mock.addProfile("Mobile", "gsm");
        mock.replaceManagerMethod("ActivateConnection", "ooo", "o", activateCode.toStdString());
        NetworkManager manager;
        PhonebookDialog dialog(manager, manager.list());
        dialog.show();
        QVERIFY(selectEntry(dialog.findChild<QListWidget*>("profiles"), "Mobile"));
        QTest::mouseClick(dialog.findChild<QPushButton*>("dial"), Qt::LeftButton);
        if (laterState != 0) {
            mock.setActiveState(kComingUpPath, static_cast<uint32_t>(laterState));
        }
        QTRY_COMPARE(dialog.findChild<QLabel*>("status")->text(), expected);
        QVERIFY(!dialog.dialled());
        QVERIFY(dialog.findChild<QPushButton*>("dial")->isEnabled());
    }

    void entryCloseReturnsWithoutDialling() {
        NmMock mock;
        mock.addProfile("Mobile", "gsm");
        QStringList listed;
        const int32_t result = runEntry([&](QDialog* dialog) {
            listed = itemTexts(dialog->findChild<QListWidget*>("profiles"));
            QTest::mouseClick(dialog->findChild<QPushButton*>("close"), Qt::LeftButton);
        });
        QCOMPARE(result, 0);
        QCOMPARE(listed, QStringList({"Mobile"}));
        QVERIFY(mock.activeConnections().empty());
    }

    void entryDialsTheChosenProfile() {
        NmMock mock;
        mock.addProfile("Wired", "802-3-ethernet");
        mock.addProfile("Mobile", "gsm");
        QString shown;
        const int32_t result = runEntry([&](QDialog* dialog) {
            if (selectEntry(dialog->findChild<QListWidget*>("profiles"), "Mobile")) {
                QTest::mouseClick(dialog->findChild<QPushButton*>("dial"), Qt::LeftButton);
            }
            shown = dialog->findChild<QLabel*>("status")->text();
            QTest::mouseClick(dialog->findChild<QPushButton*>("close"), Qt::LeftButton);
        });
        QCOMPARE(result, 1);
        QCOMPARE(shown, QString("Connected to Mobile."));
        QCOMPARE(mock.activeConnections().size(), size_t(1));
    }

    void entryShowsNothingWithoutService_data() {
        QTest::addColumn<bool>("networkManager");
        QTest::addColumn<quint32>("recordSize");
        QTest::addColumn<quint32>("error");
        QTest::newRow("no NetworkManager")
            << false << TY_RAS_PBDLG_SIZE << TY_RAS_ERROR_SERVICE_MISSING;
        QTest::newRow("no dial-up profile")
            << true << TY_RAS_PBDLG_SIZE << TY_RAS_ERROR_SERVICE_MISSING;
        QTest::newRow("wrong record size")
            << true << quint32(TY_RAS_PBDLG_SIZE - 8) << TY_RAS_ERROR_INVALID_SIZE;
    }

    void entryShowsNothingWithoutService() {
        QFETCH(bool, networkManager);
        QFETCH(quint32, recordSize);
        QFETCH(quint32, error);
        NmMock mock(networkManager ? NmMock::Start::WithNetworkManager : NmMock::Start::BusOnly);
        if (networkManager) {
            mock.addProfile("Wired", "802-3-ethernet");
        }
        TyRasPbDlgA info{};
        info.dwSize = recordSize;
        ShowCounter counter;
        bool driven = false;
        const int32_t result = runEntry(
            [&](QDialog* dialog) {
                driven = true;
                dialog->reject();
            },
            info);
        QCOMPARE(result, 0);
        QCOMPARE(info.dwError, error);
        QVERIFY(!driven);
        QCOMPARE(counter.shown, 0);
    }
};

QTEST_MAIN(PhonebookDialogTest)
#include "PhonebookDialogTest.moc"
