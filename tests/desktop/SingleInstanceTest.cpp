#include <QProcess>
#include <QtTest>

#include "desktop/SingleInstance.h"
#include "support/TempDir.h"

using namespace tyq;
using tyq::test::TempDir;

class SingleInstanceTest : public QObject {
    Q_OBJECT

  private slots:
    // A later start of the real program raises the window of the running one
    // (this test) and ends with 0.
    void secondStartRaisesTheFirst() {
        TempDir config;
        TempDir runtime;  // private, as the session makes it
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime.path().string()));
        int raised = 0;
        desktop::SingleInstance first(config / "tyqlmftp");
        QVERIFY(!first.handedOver());
        first.onRaise([&raised] { ++raised; });

        QProcess second;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", QString::fromStdString(config.path().string()));
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        second.setProcessEnvironment(environment);
        second.start(TYQ_BIN_DIR "/tyqlmftp", {});
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 120000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(raised, 1, 60000);
        QVERIFY(!std::filesystem::exists(config / "tyqlmftp"));  // it wrote no settings
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
    }
};

QTEST_MAIN(SingleInstanceTest)
#include "SingleInstanceTest.moc"
