// Writes the application icon as PNG files for the desktop's icon theme:
//   tyq_icon_png FOLDER   ->   FOLDER/<n>x<n>/apps/tyqlmftp.png
// The drawing is the program's own, so the installed icons match the window's.
#include <QDir>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <cstdio>

#include "ui/AppIcon.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tyq_icon_png FOLDER\n");
        return 2;
    }
    QGuiApplication application(argc, argv);
    const QIcon icon = tyq::ui::applicationIcon();
    for (const QSize& size : icon.availableSizes()) {
        const QString folder = QStringLiteral("%1/%2x%3/apps")
                                   .arg(QString::fromLocal8Bit(argv[1]))
                                   .arg(size.width())
                                   .arg(size.height());
        if (!QDir().mkpath(folder) ||
            !icon.pixmap(size).save(folder + QStringLiteral("/tyqlmftp.png"), "PNG")) {
            std::fprintf(stderr, "tyq_icon_png: cannot write %s\n", qPrintable(folder));
            return 1;
        }
    }
    return 0;
}
