// Extraction through the program's unzip binding, and the inflate-only floor.
//
//   bench_unzip extract LIBFOLDER DEST PASSWORD ARCHIVE...
//       loads LIBFOLDER/libtyunzip.so for each archive, as the unzip command
//       does, and extracts it into DEST; status 0 when every one succeeded.
//   bench_unzip inflate PASSWORD ARCHIVE...
//       reads every entry's data through libarchive and throws it away:
//       decryption, inflation and checks, no file written.

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "unzip/UnzipLibrary.h"

namespace {

// The binding's texts go nowhere: the run is timed, not read.
class QuietPort : public tyq::CommandPort {
  public:
    void setProgressText(const std::string&) override {}
    void setProgressDetail(const std::string&) override {}
};

int extract(int argc, char** argv) {
    const std::filesystem::path libraryFolder = argv[2];
    const char* destination = argv[3];
    const char* password = argv[4];
    QuietPort port;
    for (int i = 5; i < argc; ++i) {
        tyq::unzip::UnzipRequest request;
        request.archive = argv[i];
        request.destination = destination;
        request.password = password;
        tyq::unzip::UnzipProgress progress(port, {}, argv[i], {});
        if (tyq::unzip::unzipArchive(&request, port, libraryFolder, &progress) != 1) {
            std::fprintf(stderr, "%s: result %d\n", argv[i], progress.result());
            return 1;
        }
    }
    return 0;
}

int inflate(int argc, char** argv) {
    const char* password = argv[2];
    std::unique_ptr<char[]> sink(new char[1 << 20]);
    for (int i = 3; i < argc; ++i) {
        std::unique_ptr<archive, int (*)(archive*)> a(archive_read_new(), archive_read_free);
        archive_read_support_format_zip_seekable(a.get());
        archive_read_add_passphrase(a.get(), password);
        if (archive_read_open_filename(a.get(), argv[i], 256 * 1024) != ARCHIVE_OK) {
            std::fprintf(stderr, "%s: %s\n", argv[i], archive_error_string(a.get()));
            return 1;
        }
        archive_entry* entry = nullptr;
        while (archive_read_next_header(a.get(), &entry) == ARCHIVE_OK) {
            la_ssize_t n = 0;
            while ((n = archive_read_data(a.get(), sink.get(), 1 << 20)) > 0) {
            }
            if (n < 0) {
                std::fprintf(stderr, "%s: %s\n", argv[i], archive_error_string(a.get()));
                return 1;
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "extract") == 0) {
        return extract(argc, argv);
    }
    if (argc >= 4 && std::strcmp(argv[1], "inflate") == 0) {
        return inflate(argc, argv);
    }
    std::fprintf(stderr,
                 "usage: bench_unzip extract LIBFOLDER DEST PASSWORD ARCHIVE...\n"
                 "       bench_unzip inflate PASSWORD ARCHIVE...\n");
    return 2;
}
