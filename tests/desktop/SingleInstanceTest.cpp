#include <QProcess>
#include <QtTest>

#include "desktop/SingleInstance.h"
#include "download/dialup/NmMock.h"
#include "support/BothWays.h"
#include "support/TempDir.h"

using namespace tyq;
using tyq::test::bothWays;
using tyq::test::TempDir;

class SingleInstanceTest : public QObject {
    Q_OBJECT

  private slots:
    // A later start of the real program raises the window of the running one
    // (this test) and ends with 0: from a terminal, or by the desktop through
    // the program's bus name (its menu entry is D-Bus activatable).
    void secondStartRaisesTheFirst_data() {
        bothWays("byBus", "started as a command", "started by its bus name");
    }
    void secondStartRaisesTheFirst() {
        QFETCH(bool, byBus);
        TempDir config;
        TempDir runtime;  // private, as the session makes it
        TempDir services;
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.path().string()));
        // The bus hands its own environment to the programs it starts.
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path().string()));
        test::writeFile(services / "org.tessary.tyqlmftp.service",
                        "[D-BUS Service]\nName=org.tessary.tyqlmftp\nExec=" TYQ_BIN_DIR
                        "/tyqlmftp --gapplication-service\n");
        const test::NmMock bus(test::NmMock::Start::BusOnly, services.path().string());
        int raised = 0;
        desktop::SingleInstance first(config / "tyqlmftp");
        QVERIFY(!first.handedOver());
        first.onRaise([&raised] { ++raised; });

        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus.address()));
        second.setProcessEnvironment(environment);
        if (byBus) {
            second.start("gdbus", {"call", "--session", "--dest", "org.tessary.tyqlmftp",
                                   "--object-path", "/org/tessary/tyqlmftp", "--method",
                                   "org.freedesktop.Application.Activate",
                                   "{'activation-token': <'token-1'>}"});
        } else {
            second.start(TYQ_BIN_DIR "/tyqlmftp", {});
        }
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 120000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(raised, 1, 60000);
        QVERIFY(!std::filesystem::exists(config / "tyqlmftp"));  // it wrote no settings
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
        qputenv("XDG_CONFIG_HOME", savedConfig);
    }
};

QTEST_MAIN(SingleInstanceTest)
#include "SingleInstanceTest.moc"
