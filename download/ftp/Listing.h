#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyq::download::ftp {

// Decimal digits only, as a size; -1 for anything else or an overflow.
long long sizeIn(std::string_view digits);

// The ".ZIP" names of a listing (any letter case), in the server's order.
struct ZipNames {
    std::vector<std::string> names;
    // Each name's size as an MLSD listing told it, or -1; empty for NLST.
    std::vector<long long> sizes;
    // Each name's modification time as an MLSD listing told it
    // ("YYYYMMDDHHMMSS", UTC), or empty; empty for NLST.
    std::vector<std::string> modified;
};

// The size and time a LIST line ("ls -l" form) shows for each regular file
// named in `names`, as {size, "Mon DD HH:MM" or "Mon DD YYYY"}; names it does
// not show, or shows in another form, are left out.
struct ShownFile {
    std::string name;
    long long size = -1;
    std::string time;
};
std::vector<ShownFile> filesShownIn(std::string_view text);

// The ".ZIP" files of a LIST with their sizes and times as filesShownIn
// reads them, when the listing tells NLST's names: every line in the
// "ls -l" form, no link, no folder and no unreadable size under such a name.
// Nothing otherwise.
std::optional<ZipNames> zipFilesShownIn(std::string_view text);

// The "YYYYMMDDHHMMSS" of an MLSD modify fact or an MDTM reply (fractions
// dropped); empty for anything else.
std::string timeIn(std::string_view value);

// Whether two times a listing told of a file ("YYYYMMDDHHMMSS", or a LIST's
// "Mon DD HH:MM" or "Mon DD YYYY") can be the same: they agree on each part
// both tell. A LIST shows the year instead of the hour once a file is half a
// year old, and that alone must not make it a new file. Times that cannot
// be read are the same only when they are equal.
bool sameTime(std::string_view a, std::string_view b);

// One name a line for NLST; for MLSD "type=file;size=1234;...; NAME", the
// facts ending at the first space and the name the rest, as it stands. The
// folder itself and its parent are no names, nor is a line without facts.
ZipNames zipNamesIn(std::string_view text, bool mlsd);

// What the server said of a file's size on the control connection.
struct ToldSizes {
    long long sized = -1;      // the SIZE reply ("213 1234"), or the listing's
    long long announced = -1;  // the RETR reply ("150 ... (1234 bytes)."), 150 or 125
    // The size the server said, SIZE's answer first.
    long long said() const noexcept { return sized >= 0 ? sized : announced; }
    // Takes what a reply line of the control connection tells.
    void read(std::string_view line);
};

// A file received against the size told. `counted` is what the transfer
// counted, `written` what reached the file.
enum class SizeVerdict { Whole, NotAsSaid, Short, Long };
SizeVerdict sizeVerdict(long long written, long long counted, const ToldSizes& told,
                        long long said);

}  // namespace tyq::download::ftp
