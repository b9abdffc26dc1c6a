#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include <QString>

class QLocalServer;
class QWidget;

namespace tyq::desktop {

// One window per settings folder. The first start listens on a local socket
// in the user's runtime folder; a later start finds it there, asks it to
// show its window and ends, so two windows never write the same settings.
class SingleInstance {
  public:
    explicit SingleInstance(const std::filesystem::path& settingsFolder);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // True when another start runs already and has been asked to show itself.
    bool handedOver() const noexcept { return handedOver_; }

    // What a later start's request does here; called on the window thread.
    void onRaise(std::function<void()> raise) { raise_ = std::move(raise); }

    // Shows a window on top and gives it the focus, restoring it when it is
    // minimised.
    static void raiseWindow(QWidget& window);

  private:
    bool askRunning() const;
    void answer();

    QString name_;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> raise_;
    bool handedOver_ = false;
};

}  // namespace tyq::desktop
