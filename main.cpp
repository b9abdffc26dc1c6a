#include <cstdio>

#include "app/CommandLine.h"
#include "app/LibraryEntries.h"
#include "common/Paths.h"
#include "common/SharedLibrary.h"

// The program is a small front: the window's toolkit and the transfer's
// libraries (libcurl, TLS, the session bus) each come with a library of our
// own, loaded from the program's folder only when the arguments want it, so
// neither pays for the other's.
int main(int argc, char** argv) {
    const bool window = tyq::app::asksForWindow(argc, argv);
    const tyq::SharedLibrary library(tyq::executableFolder() /
                                     (window ? kWindowLibrary : kCommandLibrary));
    const auto entry = library.entryAs<ProgramEntry>(window ? kWindowEntry : kCommandEntry);
    if (entry == nullptr) {
        std::fprintf(stderr, "tyqlmftp: cannot load the %s: %s\n",
                     window ? "window" : "command line",
                     library.loaded() ? "its entry is missing" : library.error().c_str());
        return 1;
    }
    return entry(argc, argv);
}
