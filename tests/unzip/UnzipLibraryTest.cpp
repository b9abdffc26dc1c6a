// The binding: the record it hands over, how it reads the result, and the
// library's lifetime. The library is a test double loaded by real dlopen.

#include <dlfcn.h>

#include <climits>
#include <cstring>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "support/FakeMainWindow.h"
#include "support/TempDir.h"
#include "unzip/UnzipLibrary.h"

namespace tyq::unzip {
namespace {

const std::filesystem::path kScripted = std::filesystem::path(TYQ_UNZIP_DOUBLES) / "scripted";
const std::filesystem::path kNoEntry = std::filesystem::path(TYQ_UNZIP_DOUBLES) / "no-entry";

std::uint32_t u32At(const unsigned char* record, std::size_t offset) {
    std::uint32_t value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}
const void* pointerAt(const unsigned char* record, std::size_t offset) {
    const void* value;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

// Keeps the scripted double loaded across the binding's load and free, so
// what a call left in it can be read afterwards.
class ScriptedDouble {
  public:
    ScriptedDouble()
        : handle_(::dlopen((kScripted / kUnzipLibraryFile).c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (handle_ == nullptr) {
            throw std::runtime_error(::dlerror());
        }
        *symbol<int>("tyq_double_calls") = 0;
    }
    ~ScriptedDouble() { ::dlclose(handle_); }

    template <typename T>
    T* symbol(const char* name) const {
        return static_cast<T*>(::dlsym(handle_, name));
    }
    const unsigned char* record() const { return symbol<unsigned char>("tyq_double_record"); }
    std::string text(const char* name) const { return symbol<char>(name); }
    int calls() const { return *symbol<int>("tyq_double_calls"); }

  private:
    void* handle_;
};

bool isLoaded(const std::filesystem::path& folder) {
    void* handle = ::dlopen((folder / kUnzipLibraryFile).c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        ::dlclose(handle);
    }
    return handle != nullptr;
}

class UnzipLibraryTest : public ::testing::Test {
  protected:
    std::int32_t unzip(const std::string& archive, const char* password = "pw", int options = 1,
                       const std::filesystem::path& folder = kScripted) {
        const UnzipRequest request{archive.c_str(), "/data/out/", password, options};
        UnzipProgress progress(window_, archive, {});
        const std::int32_t extracted = unzipArchive(&request, window_, folder, &progress);
        result_ = progress.result();
        return extracted;
    }

    test::FakeMainWindow window_;
    std::int32_t result_ = -1;  // each call's code
};

TEST_F(UnzipLibraryTest, HandsOverTheWholeRecord) {
    ScriptedDouble library;
    const std::string archive = "/data/out/QLM0101.ZIP";
    const std::string destination = "/data/out/";
    const std::string password = "s3cr3t";
    const UnzipRequest request{archive.c_str(), destination.c_str(), password.c_str(), 1};
    ASSERT_EQ(unzipArchive(&request, window_, kScripted), 1);
    ASSERT_EQ(library.calls(), 1);

    const unsigned char* r = library.record();
    EXPECT_EQ(u32At(r, 0), 162u);
    EXPECT_EQ(u32At(r, 4), 8u);
    EXPECT_EQ(pointerAt(r, 8), archive.c_str());
    EXPECT_EQ(u32At(r, 16), 0u);
    EXPECT_EQ(library.text("tyq_double_mask"), "*.*");
    EXPECT_EQ(u32At(r, 28), 0xFFFFFFFFu);
    EXPECT_EQ(pointerAt(r, 32), destination.c_str());
    EXPECT_EQ(u32At(r, 40), 0u);
    EXPECT_EQ(u32At(r, 44), 0u);
    EXPECT_EQ(u32At(r, 48), 1u);  // optionA
    EXPECT_EQ(u32At(r, 52), 1u);  // optionB
    EXPECT_EQ(u32At(r, 56), 0u);
    EXPECT_EQ(u32At(r, 60), 0u);
    EXPECT_EQ(u32At(r, 64), 1u);
    for (std::size_t offset = 68; offset < 104; offset += 4) {
        EXPECT_EQ(u32At(r, offset), 0u) << offset;
    }
    EXPECT_EQ(u32At(r, 104), 1u);  // passwordGiven
    EXPECT_EQ(pointerAt(r, 108), password.c_str());
    EXPECT_EQ(pointerAt(r, 116), reinterpret_cast<const void*>(&DynaUnzipMsgCallBack));
    EXPECT_EQ(u32At(r, 124), 0u);
    EXPECT_EQ(r[128], 1);
    EXPECT_EQ(r[129], 0);
    for (std::size_t offset = 130; offset < 162; ++offset) {
        EXPECT_EQ(r[offset], 0) << offset;
    }
    // The library reached the program's callback through the record.
    EXPECT_STREQ(library.text("tyq_double_reply").c_str(), "Extract Warning");
}

TEST_F(UnzipLibraryTest, RecordWithoutPasswordOrOptions) {
    ScriptedDouble library;
    ASSERT_EQ(unzip("/a/QLM1.ZIP", nullptr, 0), 1);
    EXPECT_EQ(u32At(library.record(), 48), 0u);
    EXPECT_EQ(u32At(library.record(), 52), 0u);
    EXPECT_EQ(u32At(library.record(), 104), 0u);
    EXPECT_EQ(pointerAt(library.record(), 108), nullptr);

    // An empty password is still a password.
    ASSERT_EQ(unzip("/a/QLM1.ZIP", ""), 1);
    EXPECT_EQ(u32At(library.record(), 104), 1u);
    EXPECT_EQ(library.text("tyq_double_password"), "");
}

TEST_F(UnzipLibraryTest, ProgressGoesToTheWindowAndAStopBack) {
    ScriptedDouble library;
    UnzipProgress progress(window_, "QLM0102.ZIP", {2, 3, 100});
    const UnzipRequest request{"/a/QLM0102.ZIP#40", "/data/out/", "pw", 1};
    EXPECT_EQ(unzipArchive(&request, window_, kScripted, &progress), 0);
    EXPECT_EQ(pointerAt(library.record(), 130), &progress);
    EXPECT_EQ(u32At(library.record(), 138), kContextTag);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(library.record()) + 142, 20),
              std::string(20, '\0'));
    EXPECT_EQ(progress.result(), code::kCancelled);
    EXPECT_TRUE(window_.progress.empty());  // a stop is no password problem
    EXPECT_EQ(window_.detail, "");

    char reply[kReplyBufferSize];
    EXPECT_EQ(DynaUnzipMsgCallBack(kTotalMessage, 0, 5, 1, "", reply, &progress), 0);
    EXPECT_EQ(DynaUnzipMsgCallBack(kProgressMessage, 3, 0, 0, "", reply, &progress), 0);
    window_.stop.request_stop();
    EXPECT_EQ(DynaUnzipMsgCallBack(kProgressMessage, 4, 0, 0, "", reply, &progress), 1);
    ASSERT_EQ(window_.bytes.size(), 3u);
    const ByteProgress& last = window_.bytes.back();
    EXPECT_EQ(std::tie(last.item, last.itemNumber, last.itemCount, last.itemDone, last.itemTotal,
                       last.allDone),
              std::make_tuple(std::string("QLM0102.ZIP"), 2, 3, 7, (1LL << 32) + 5, 107));
}

TEST_F(UnzipLibraryTest, TheObjectIsItsRecord) {
    UnzipLibrary binding(window_, kScripted);
    EXPECT_EQ(static_cast<void*>(&binding), static_cast<void*>(&binding.command));
}

TEST_F(UnzipLibraryTest, SuccessLeavesTheProgressTextAlone) {
    ScriptedDouble library;
    window_.setProgressText("before");
    EXPECT_EQ(unzip("/a/QLM1.ZIP"), 1);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(window_.progress, std::vector<std::string>{"before"});
    EXPECT_EQ(window_.detail, "");
}

struct FailedRun {
    const char* label;
    std::string archive;
    std::filesystem::path folder;
    std::int32_t result;
    const char* detail;
};

TEST_F(UnzipLibraryTest, FailuresShowTheHintAndTheReason) {
    ScriptedDouble library;
    const FailedRun runs[] = {
        {"entry returns 44", "/a/QLM0101.ZIP#44", kScripted, 44,
         "QLM0101.ZIP#44: wrong zip password (or the archive is damaged)"},
        {"entry returns -1", "/a/QLM1.ZIP#-1", kScripted, -1,
         "The unzip library could not be loaded"},
        {"entry returns an unlisted code", "/a/QLM1.ZIP#7", kScripted, 7,
         "QLM1.ZIP#7: could not be extracted (code 7)"},
        {"no library, first use", "/a/QLM1.ZIP", "/nonexistent", -1,
         "The unzip library could not be loaded"},
        {"no entry", "/a/QLM1.ZIP", kNoEntry, -1, "The unzip library could not be loaded"},
    };
    for (const FailedRun& run : runs) {
        SCOPED_TRACE(run.label);
        window_.progress.clear();
        EXPECT_EQ(unzip(run.archive, "pw", 1, run.folder), 0);
        EXPECT_EQ(result_, run.result);
        EXPECT_EQ(window_.progress, std::vector<std::string>{"Please check the ZIP Password"});
        EXPECT_EQ(window_.detail, run.detail);
    }
}

TEST_F(UnzipLibraryTest, WithoutOptionsAFailureIsSilent) {
    ScriptedDouble library;
    EXPECT_EQ(unzip("/a/QLM1.ZIP#44", "pw", 0), 0);
    EXPECT_EQ(result_, 44);
    EXPECT_TRUE(window_.progress.empty());
    EXPECT_EQ(window_.detail, "");
}

TEST_F(UnzipLibraryTest, NoRequestLoadsNothing) {
    EXPECT_EQ(unzipArchive(nullptr, window_, kScripted), 0);
    EXPECT_FALSE(isLoaded(kScripted));
    EXPECT_TRUE(window_.progress.empty());
}

TEST_F(UnzipLibraryTest, TheLibraryIsFreedAfterEachArchive) {
    EXPECT_EQ(unzip("/a/QLM1.ZIP"), 1);
    EXPECT_FALSE(isLoaded(kScripted));
    EXPECT_EQ(unzip("/a/QLM1.ZIP#44"), 0);
    EXPECT_FALSE(isLoaded(kScripted));
    EXPECT_EQ(unzip("/a/QLM1.ZIP", "pw", 1, kNoEntry), 0);
    EXPECT_FALSE(isLoaded(kNoEntry));
}

TEST(UnzipFailureText, FailureWordsNameTheArchive) {
    const std::pair<std::int32_t, const char*> table[] = {
        {-1, "The unzip library could not be loaded"},
        {3, "Q.ZIP: damaged or unsafe (an entry's name or structure is not valid)"},
        {39, "Q.ZIP: damaged (bad CRC)"},
        {44, "Q.ZIP: wrong zip password (or the archive is damaged)"},
        {50, "Q.ZIP: the disk is full"},
        {INT_MIN, "Q.ZIP: could not be extracted (code -2147483648)"},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(unzipFailureText("Q.ZIP", code), text) << code;
    }
}

TEST(DynaUnzipMsgCallBack, AnswersWarningsOnly) {
    char reply[32];
    std::memset(reply, '#', sizeof reply);
    EXPECT_EQ(DynaUnzipMsgCallBack(7, 1, 2, 3, "text", reply, nullptr), 0);
    EXPECT_EQ(std::string(reply, sizeof reply), std::string(sizeof reply, '#'));

    // A pointer of another library's own is no context of ours: never read.
    std::string foreign(64, '\xFF');
    for (void* opaque : {static_cast<void*>(nullptr), static_cast<void*>(foreign.data())}) {
        for (const std::uint32_t code : {kTotalMessage, kProgressMessage}) {
            EXPECT_EQ(DynaUnzipMsgCallBack(code, 1, 2, 3, "text", reply, opaque), 0);
        }
        std::memset(reply, '#', sizeof reply);
        EXPECT_EQ(DynaUnzipMsgCallBack(8, 1, 2, 3, "text", reply, opaque), 0);
        EXPECT_EQ(std::string(reply, 16), std::string("Extract Warning\0", 16));
        EXPECT_EQ(std::string(reply + 16, sizeof reply - 16), std::string(sizeof reply - 16, '#'));
    }
    EXPECT_EQ(foreign, std::string(64, '\xFF'));
}

// Exported by name, with C linkage, from the built libraries that hand it
// over: what ships, not this test.
TEST(DynaUnzipMsgCallBack, IsExportedWithCLinkage) {
    for (const std::string file : {"libtyqcli.so", "libtyqwindow.so"}) {
        void* library = ::dlopen((TYQ_BIN_DIR "/" + file).c_str(), RTLD_LAZY | RTLD_LOCAL);
        ASSERT_NE(library, nullptr) << ::dlerror();
        void* symbol = ::dlsym(library, "DynaUnzipMsgCallBack");
        Dl_info found{};
        ASSERT_NE(symbol, nullptr) << file;
        ASSERT_NE(::dladdr(symbol, &found), 0);
        EXPECT_EQ(std::filesystem::path(found.dli_fname).filename(), file);
        ::dlclose(library);
    }
}

}  // namespace
}  // namespace tyq::unzip
