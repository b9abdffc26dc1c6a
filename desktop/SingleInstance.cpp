#include "desktop/SingleInstance.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>
#include <cstdio>
#include <string>

#include "common/FolderLock.h"

namespace tyq::desktop {

namespace {

constexpr char kRequest[] = "raise\n";
constexpr char kReply[] = "ok\n";
// A running start answers from its event loop; one that is busy still has its
// window, so the wait is bounded and its end is no failure.
constexpr int kWaitMs = 5000;

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& settingsFolder) {
    std::string failure;
    const std::filesystem::path folder = lockFolder(failure);
    if (folder.empty()) {
        std::fprintf(stderr, "tyqlmftp: %s; a second start will open a second window.\n",
                     failure.c_str());
        return;
    }
    // Named for the settings folder, so each set of settings has its own window.
    const QByteArray key =
        QCryptographicHash::hash(QByteArray::fromStdString(settingsFolder.lexically_normal()),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    name_ = QString::fromStdString((folder / ("window-" + key.toStdString())).string());
    if (askRunning()) {
        handedOver_ = true;
        return;
    }
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    bool listening = server_->listen(name_);
    if (!listening && server_->serverError() == QAbstractSocket::AddressInUseError) {
        // Another start may have come up meanwhile; else the socket was left
        // by one that was killed, and nobody answers on it.
        if (askRunning()) {
            handedOver_ = true;
            server_.reset();
            return;
        }
        QLocalServer::removeServer(name_);
        listening = server_->listen(name_);
    }
    if (!listening) {
        std::fprintf(stderr, "tyqlmftp: %s: %s; a second start will open a second window.\n",
                     name_.toLocal8Bit().constData(),
                     server_->errorString().toLocal8Bit().constData());
        server_.reset();
        return;
    }
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(),
                     [this] { answer(); });
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::askRunning() const {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(kWaitMs)) {
        return false;  // nobody listens
    }
    socket.write(kRequest);
    socket.waitForBytesWritten(kWaitMs);
    socket.waitForReadyRead(kWaitMs);
    return true;
}

void SingleInstance::answer() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        // The server owns the socket until it is done with it.
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        const auto read = [this, socket] {
            if (!socket->canReadLine()) {
                return;
            }
            if (socket->readLine() == kRequest && raise_) {
                raise_();
            }
            socket->write(kReply);
            socket->disconnectFromServer();
        };
        QObject::connect(socket, &QLocalSocket::readyRead, socket, read);
        read();  // the request may be there already
    }
}

void SingleInstance::raiseWindow(QWidget& window) {
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.activateWindow();
    // A question open over it is what wants the answer.
    if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != &window) {
        modal->raise();
        modal->activateWindow();
    }
}

}  // namespace tyq::desktop
