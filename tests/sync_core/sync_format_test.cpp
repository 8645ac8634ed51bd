// Links leading out of the root, loops and a root reached through a link are
// also the fuzz_child target's property.
#include "sync_core/sync_format.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <stop_token>

#include "sync_core/date_time.h"
#include "sync_core/sync_failure.h"
#include "tests/support/failure_kind.h"
#include "tests/support/temp_dir.h"

namespace quillmere::sync {
namespace {

namespace fs = std::filesystem;
using testing::failureOf;
using testing::TempDir;
using testing::writeFile;

TEST(SyncFormatChild, AcceptsOneComponentAndResolvesLinksThatStayInside) {
    TempDir dir;
    const fs::path root = dir / "AgentLibrary";
    fs::create_directories(root / "sub");
    for (const auto& [link, target] : {std::pair{"in", "inside.json"}, {"dangling-in", "later.json"}, {"into-sub", "sub"},
                                       {"dangling-out", "../not-there-yet"}, {"deep", "sub/inner.json"}}) {
        fs::create_symlink(target, root / link);
    }
    writeFile(root / "inside.json", "{}");
    const std::pair<std::string, std::optional<fs::path>> cases[] = {
        {"...", root / "..."}, {".hidden", root / ".hidden"}, {"录音 é", root / "录音 é"}, {"sub", root / "sub"},
        {"in", root / "inside.json"}, {"dangling-in", root / "later.json"}, {"into-sub", root / "sub"},
        {"dangling-out", std::nullopt}, {"deep", std::nullopt},  // a link one level down is not a child
        {"", std::nullopt}, {".", std::nullopt}, {"..", std::nullopt}, {"/", std::nullopt}, {"a/b", std::nullopt},
        {"a\\b", std::nullopt}, {std::string("a\0b", 3), std::nullopt},
    };
    for (const auto& [name, expected] : cases) {
        if (expected) {
            EXPECT_EQ(SyncFormat::child(name, root), *expected) << name;
        } else {
            EXPECT_EQ(failureOf<SyncFailure>([&] { SyncFormat::child(name, root); }), SyncFailure::Kind::invalidData) << name;
        }
    }
    EXPECT_EQ(SyncFormat::child("new", root / "not" / "yet"), root / "not" / "yet" / "new");
    EXPECT_EQ(SyncFormat::child("x", dir / "." / "AgentLibrary" / "..//AgentLibrary"), root / "x");
}

TEST(SyncFormatDigest, Sha256OfBytesAndOfFilesAcrossChunkBoundaries) {
    EXPECT_EQ(SyncFormat::digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(SyncFormat::digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    TempDir dir;
    for (std::size_t size : {std::size_t{0}, std::size_t{1} << 20, (std::size_t{5} << 20) / 2, (std::size_t{1} << 20) + 1}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
        writeFile(dir / "f", bytes);
        EXPECT_EQ(SyncFormat::fileDigest(dir / "f"), SyncFormat::digest(bytes)) << size;
    }
    EXPECT_TRUE(SyncFormat::validHash(std::string(64, 'f')));
    for (const std::string& bad : {std::string(63, 'f'), std::string(65, 'f'), "A" + std::string(63, 'f'), "g" + std::string(63, 'f')}) {
        EXPECT_FALSE(SyncFormat::validHash(bad)) << bad;
    }
}

TEST(SyncFormatDigest, FileErrorsCancellationAndFifos) {
    TempDir dir;
    try {
        SyncFormat::fileDigest(dir / "missing");
        ADD_FAILURE() << "a missing file was hashed";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    }
    writeFile(dir / "f", "bytes");
    writeFile(dir / "empty", "");
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(SyncFormat::fileDigest(dir / "f", stop.get_token()), Cancelled);
    // Cancellation is noticed after a chunk is read, so an empty file still hashes.
    EXPECT_EQ(SyncFormat::fileDigest(dir / "empty", stop.get_token()), SyncFormat::digest(""));
    // A FIFO where a file was expected does not block.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(SyncFormat::fileDigest(dir / "fifo"), SyncFormat::digest(""));
}

TEST(InternetDate, ParsesZoneDesignatorsToTheSameInstant) {
    using namespace std::chrono;
    const Instant utc = sys_days(2025y / March / 1) + 9h + 30min;
    for (const char* text : {"2025-03-01T09:30:00Z", "2025-03-01T17:30:00+08:00", "2025-03-01T04:00:00-05:30", "2025-03-01T09:30:00+00:00", "2025-03-02T09:29:00+23:59"}) {
        EXPECT_EQ(parseInternetDate(text), utc) << text;
    }
    EXPECT_EQ(formatInternetDate(*parseInternetDate("2024-02-29T23:59:59-01:00")), "2024-03-01T00:59:59Z");
    // Formatting rounds down to whole seconds.
    EXPECT_EQ(formatInternetDate(sys_days(1969y / December / 31) + 23h + 59min + 59s + 750ms), "1969-12-31T23:59:59Z");
    EXPECT_EQ(formatInternetDate(sys_days(2026y / March / 1) + 8h + 15min + 999ms), "2026-03-01T08:15:00Z");
    EXPECT_EQ(formatInternetDate(Instant{}), "1970-01-01T00:00:00Z");
}

TEST(InternetDate, RefusesEverythingElse) {
    for (const char* bad : {"2025-03-01T09:30:00.250Z", "2025-03-01T09:30:00", "2025-03-01 09:30:00Z",
                            "2025-03-01t09:30:00Z", "2025-03-01T09:30Z", "2025-02-29T09:30:00Z",
                            "2025-13-01T09:30:00Z", "2025-03-01T24:00:00Z", "2025-03-01T09:60:00Z",
                            "2025-03-01T09:30:60Z", "2025-03-01T09:30:00+0800", "2025-03-01T09:30:00+24:00",
                            "+2025-03-01T09:30:00Z", "2025-3-01T09:30:00Z", ""}) {
        EXPECT_FALSE(parseInternetDate(bad)) << bad;
    }
}

}  // namespace
}  // namespace quillmere::sync
