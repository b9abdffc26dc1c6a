#include "desktop/Trash.h"

#include <gio/gio.h>
#include <sys/stat.h>

#include <memory>

namespace tyq::desktop {
namespace {

struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};

}  // namespace

bool moveToTrash(const std::string& path) {
    struct stat before {};
    if (::lstat(path.c_str(), &before) != 0) {
        return false;
    }
    // A relative data folder ($XDG_DATA_HOME or $HOME) would make the "home
    // trash" under the current directory: no trash at all.
    const char* data = g_get_user_data_dir();
    if (data == nullptr || data[0] != '/') {
        return false;
    }
    // The local file system's own implementation, whatever desktop modules
    // are installed: no module is loaded, no daemon started.
    const std::unique_ptr<GFile, ObjectUnref> file(
        g_vfs_get_file_for_path(g_vfs_get_local(), path.c_str()));
    GError* raw = nullptr;
    const bool trashed = file && g_file_trash(file.get(), nullptr, &raw);
    const std::unique_ptr<GError, ErrorFree> error(raw);
    if (!trashed) {
        return false;
    }
    // Done only when the name no longer holds the file.
    struct stat after {};
    return ::lstat(path.c_str(), &after) != 0 || after.st_dev != before.st_dev ||
           after.st_ino != before.st_ino;
}

}  // namespace tyq::desktop
