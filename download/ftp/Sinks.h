#pragma once

#include <cstddef>
#include <string>

#include "download/ftp/Listing.h"

namespace tyq::download::ftp {

// Where libcurl's write callbacks put a response's data; each returns less
// than it was given to end the transfer.

size_t discardData(char* data, size_t size, size_t count, void* user);

struct ListingSink {
    std::string text;
    bool tooLong = false;  // the listing passed the limit and was cut off
};

// Into a ListingSink, up to kMaxListingBytes.
size_t appendListing(char* data, size_t size, size_t count, void* user);

struct FileSink {
    int fd = -1;
    long long written = 0;
    ToldSizes told;
    int error = 0;  // errno of a failed write
    // The first bytes must be these (a resume's overlap); they are compared,
    // not written. differs: they were not.
    std::string expected;
    std::size_t matched = 0;
    bool differs = false;
    // No more than this is written (-1: no bound); overrun: more came.
    long long limit = -1;
    bool overrun = false;
};

// Into a FileSink's file.
size_t writeToFile(char* data, size_t size, size_t count, void* user);

}  // namespace tyq::download::ftp
