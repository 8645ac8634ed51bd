// quillmere-mcp as a whole process over shared folders built to hurt it:
// links out of the folder, special files, files that change under it, inputs
// at and past every size and nesting bound. Whatever the folder holds, the
// server answers every request, serves nothing it has not verified, and keeps
// going.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "sync_core/shared_records.h"
#include "sync_core/sync_format.h"
#include "tests/e2e/server_session.h"
#include "tests/support/library_fixture.h"
#include "tests/support/temp_dir.h"

namespace quillmere {
namespace {

namespace fs = std::filesystem;
namespace SyncFormat = sync::SyncFormat;
using nlohmann::json;
using namespace quillmere::testing;

constexpr std::size_t readLimit = 33'554'432;

// Keys of the items a list_recordings call returns (first page of 100).
std::vector<std::string> listedKeys(const json& listing) {
    std::vector<std::string> keys;
    for (const json& item : listing["items"]) keys.push_back(item["recording_key"]);
    return keys;
}

// A special file that is neither a FIFO nor a regular file: a character
// device like /dev/zero where the sandbox allows mknod, else a bound socket.
void makeDeviceLike(const fs::path& path) {
    fs::remove(path);
    if (::mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0) return;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.string().size(), sizeof address.sun_path);
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

void makeFifo(const fs::path& path) {
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
}

// A home directory holding the shared folder with two sources, each one
// recording with one shared audio track: "good", which nothing breaks, and
// "hostile", which each test breaks in its own way.
class HostileFolder : public ::testing::Test {
  public:
    fs::path root() const { return home_ / "AgentLibrary"; }
    fs::path cache() const { return home_ / "cache"; }
    fs::path hostileDir() const { return root() / hostile_.sourceID.text(); }
    fs::path hostileRecord() const {
        const std::string bytes = SyncFormat::encode(hostile_);
        return hostileDir() / "records" /
               sync::SharedManifest::Entry{.id = hostile_.id, .revision = SyncFormat::digest(bytes)}.fileName();
    }
    fs::path hostileAudio() const { return hostileDir() / "audio" / hostile_.audio[0].fileName; }

    // Moves path to the same place outside the shared folder and leaves a link to it.
    void linkOut(const fs::path& path) {
        fs::path moved = home_ / "elsewhere" / fs::relative(path, root());
        fs::create_directories(moved.parent_path());
        fs::rename(path, moved);
        fs::create_symlink(moved, path);
    }

    // The hostile record with replacement in place of the first occurrence of
    // text, listed under its own revision, so only reading the bytes can refuse it.
    void editHostileRecord(std::string_view text, std::size_t length, const std::string& replacement) {
        std::string bytes = SyncFormat::encode(hostile_);
        bytes.replace(bytes.find(text), length, replacement);
        fs::remove(hostileRecord());
        sync::SharedManifest::Entry entry{.id = hostile_.id, .revision = SyncFormat::digest(bytes)};
        testing::writeFile(hostileDir() / "records" / entry.fileName(), bytes);
        testing::writeManifest(hostileDir(), {.sourceID = hostile_.sourceID, .publishedAt = testing::at("2026-03-01T08:15:00Z"), .includesAudio = true, .entries = {entry}});
    }

    std::unique_ptr<ServerSession> start() {
        return std::make_unique<ServerSession>(home_.path(), root(), cache());
    }

    TempDir home_;
    sync::SharedRecording good_ = testing::writeOneRecordingSource(
        root(), *sync::Uuid::parse("6F1C2B3A-4D5E-4F60-8172-93A4B5C6D7E8"), "good", {"good track"});
    sync::SharedRecording hostile_ = testing::writeOneRecordingSource(
        root(), *sync::Uuid::parse("0A1B2C3D-4E5F-4061-8273-9485A6B7C8D9"), "hostile", {"hostile track"});
};

// What a broken hostile source must still allow.
enum class Expect {
    recordRefused,     // the hostile recording is not served; the good one is
    audioRefused,      // the hostile recording is served, its audio refused
    everythingServed,  // nothing in the hostile source is refused
};

struct HostileCase {
    const char* name;
    std::function<void(HostileFolder&)> breakFolder;
    Expect expect;
};

class HostileFolderCases : public HostileFolder,
                           public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileFolderCases, ServerRefusesWhatItCannotVerifyAndKeepsAnswering) {
    GetParam().breakFolder(*this);
    auto session = start();
    std::optional<json> status = session->call("get_sync_status");
    std::optional<json> listing = session->call("list_recordings", {{"limit", 100}});
    std::optional<json> transcript = session->call("get_transcript", {{"recording_key", recordingKey(hostile_)}});
    std::optional<json> audio = session->call("get_audio", {{"recording_key", recordingKey(hostile_)}});
    std::optional<json> goodAudio = session->call("get_audio", {{"recording_key", recordingKey(good_)}});
    ASSERT_TRUE(status && listing && transcript && audio && goodAudio) << "a call went unanswered";
    std::vector<std::string> keys = listedKeys(*listing);
    EXPECT_NE(std::find(keys.begin(), keys.end(), recordingKey(good_)), keys.end())
        << "the good source suffered: " << listing->dump().substr(0, 500);
    EXPECT_EQ((*goodAudio)["state"], "available") << goodAudio->dump();

    const bool hostileListed = std::find(keys.begin(), keys.end(), recordingKey(hostile_)) != keys.end();
    std::vector<std::string> expectedCache = {good_.audio[0].fileName};
    switch (GetParam().expect) {
        case Expect::recordRefused:
            EXPECT_FALSE(hostileListed);
            EXPECT_EQ((*status)["available_recordings"], 1) << status->dump();
            EXPECT_GE((*status)["issue_count"], 1) << status->dump();
            EXPECT_TRUE(transcript->contains("error_text")) << transcript->dump();
            EXPECT_TRUE(audio->contains("error_text")) << audio->dump();
            break;
        case Expect::audioRefused:
            EXPECT_TRUE(hostileListed);
            EXPECT_EQ((*transcript)["passages"].size(), 1u) << transcript->dump();
            EXPECT_TRUE(audio->contains("error_text")) << audio->dump();
            break;
        case Expect::everythingServed:
            EXPECT_TRUE(hostileListed);
            EXPECT_EQ((*audio)["state"], "available") << audio->dump();
            expectedCache.push_back(hostile_.audio[0].fileName);
            std::sort(expectedCache.begin(), expectedCache.end());
            break;
    }
    // Only verified tracks were delivered, and nothing half-copied is left.
    EXPECT_EQ(fs::is_directory(cache()) ? testing::listDirectory(cache()) : std::vector<std::string>{}, expectedCache);
    EXPECT_TRUE(session->alive());
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

using F = HostileFolder&;
INSTANTIATE_TEST_SUITE_P(
    HostileFolder, HostileFolderCases,
    ::testing::Values(
        HostileCase{"SourceDirectoryLinkedOut", [](F f) { f.linkOut(f.hostileDir()); }, Expect::recordRefused},
        HostileCase{"ManifestLinkedOut", [](F f) { f.linkOut(f.hostileDir() / "manifest.json"); }, Expect::recordRefused},
        HostileCase{"RecordsDirectoryLinkedOut", [](F f) { f.linkOut(f.hostileDir() / "records"); }, Expect::recordRefused},
        HostileCase{"RecordFileLinkedOut", [](F f) { f.linkOut(f.hostileRecord()); }, Expect::recordRefused},
        HostileCase{"AudioDirectoryLinkedOut", [](F f) { f.linkOut(f.hostileDir() / "audio"); }, Expect::audioRefused},
        HostileCase{"AudioFileLinkedOut", [](F f) { f.linkOut(f.hostileAudio()); }, Expect::audioRefused},
        HostileCase{"RecordFileIsAFifo", [](F f) { makeFifo(f.hostileRecord()); }, Expect::recordRefused},
        HostileCase{"ManifestIsAFifo", [](F f) { makeFifo(f.hostileDir() / "manifest.json"); }, Expect::recordRefused},
        HostileCase{"AudioFileIsAFifo", [](F f) { makeFifo(f.hostileAudio()); }, Expect::audioRefused},
        HostileCase{"RecordFileIsADevice", [](F f) { makeDeviceLike(f.hostileRecord()); }, Expect::recordRefused},
        HostileCase{"AudioFileIsADevice", [](F f) { makeDeviceLike(f.hostileAudio()); }, Expect::audioRefused},
        // Valid JSON framing around bytes that are not UTF-8.
        HostileCase{"RecordNameIsInvalidUtf8", [](F f) { f.editHostileRecord("hostile", 7, "\xff\xfe\xc0\x80"); }, Expect::recordRefused},
        HostileCase{"RecordNestedFarTooDeep", [](F f) { f.editHostileRecord("{", 1, "{\"extra\":" + std::string(200'000, '[') + std::string(200'000, ']') + ","); }, Expect::recordRefused},
        HostileCase{"RecordDatedOutsideTheRepresentableRange", [](F f) { f.editHostileRecord("2026-03-01T08:00:00Z", 4, "1013"); }, Expect::recordRefused},
        HostileCase{"ManifestDatedOutsideTheRepresentableRange", [](F f) { const fs::path m = f.hostileDir() / "manifest.json"; std::string b = testing::readFile(m); testing::writeFile(m, b.replace(b.find("\"publishedAt\":\"2026") + 15, 4, "9999")); }, Expect::recordRefused},
        // An unknown key is ignored, however it is nested.
        HostileCase{"RecordNestedJustWithinTheBound", [](F f) { f.editHostileRecord("{", 1, "{\"extra\":" + std::string(500, '[') + std::string(500, ']') + ","); }, Expect::everythingServed}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

// A manifest is read up to the limit: exactly 32 MiB (padded with JSON
// whitespace) is accepted, one byte more makes the source an issue.
TEST_F(HostileFolder, ManifestOfExactlyTheLimitIsReadAndOneByteMoreIsRefused) {
    const fs::path manifest = hostileDir() / "manifest.json";
    std::string bytes = testing::readFile(manifest);
    bytes.resize(readLimit, ' ');
    testing::writeFile(manifest, bytes);
    auto session = start();
    json status = session->call("get_sync_status").value_or(json());
    EXPECT_EQ(status["available_recordings"], 2) << status.dump();

    testing::writeFile(manifest, bytes + " ");
    status = session->call("get_sync_status").value_or(json());
    EXPECT_EQ(status["available_recordings"], 1) << status.dump();
    EXPECT_EQ(status["issues"].size(), 1u) << status.dump();
    EXPECT_EQ(status["issues"][0]["source_id"], hostile_.sourceID.text());
    EXPECT_EQ(session->finish(), 0);
}

// A writer keeps appending to a record file while the server reads it: each
// read ends (at most the limit plus one byte is taken), the changed bytes are
// never served, and the server answers throughout.
TEST_F(HostileFolder, RecordFileThatKeepsGrowingIsNotServedAndDoesNotStallTheServer) {
    std::atomic<bool> stop = false;
    std::thread writer([&, record = hostileRecord()] {
        int fd = ::open(record.c_str(), O_WRONLY | O_APPEND);
        const std::string chunk(65536, ' ');
        // Grows past the read limit, then starts over, until the test ends.
        for (struct stat st {}; fd >= 0 && !stop && ::write(fd, chunk.data(), chunk.size()) > 0;) {
            if (::fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) > readLimit + chunk.size() && ::ftruncate(fd, 1) != 0) break;
        }
        ::close(fd);
    });
    auto session = start();
    for (int i = 0; i < 5; ++i) {
        std::optional<json> listing = session->call("list_recordings", {{"limit", 100}});
        EXPECT_EQ(listedKeys(listing.value_or(json())), std::vector<std::string>{recordingKey(good_)});
    }
    stop = true;
    writer.join();
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

// Request lines the parser must not choke on: nested far beyond the bound
// (a parse error instead of a stack overflow) and bytes that are not UTF-8;
// the session goes on after each.
TEST_F(HostileFolder, HostileRequestLinesGetParseErrorsAndTheSessionGoesOn) {
    auto session = start();
    for (const std::string& line : {
             std::string(1'000'000, '['),
             std::string(500'000, '{'),
             R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}",
             std::string("{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"p\xc0\x80ing\"}"),
             std::string(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"search_transcripts","arguments":{"query":")" "\xed\xa0\x80\"}}}"),
         }) {
        session->write(line + "\n");
        EXPECT_EQ(session->receive(), json::parse(R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"));
        EXPECT_TRUE(session->alive());
    }
    // Nested within the bound, in arguments the tool does not know: a tool error.
    std::optional<json> nested = session->call("get_sync_status", {{"extra", json::parse(std::string(400, '[') + std::string(400, ']'))}});
    EXPECT_EQ(nested, json({{"error_text", "invalid_argument: 存在不支持的参数。"}}));
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

// A recording of a million passages is served, paged and searched like any
// other. Written by hand with integer times and empty texts (about 31 MB), as
// the encoder's "1.0" form would not fit the read limit.
TEST_F(HostileFolder, MillionPassageRecordingIsServedPagedAndSearched) {
    std::string list = "[";
    for (int i = 0; i < 1'000'000; ++i) {
        const int second = i / 100'000;  // ten seconds of 100,000 passages each
        list += (i > 0 ? R"(,{"end":)" : R"({"end":)") + std::to_string(second + 1) + R"(,"start":)" + std::to_string(second) + R"(,"text":")" + (i == 765'432 ? "needle" : "") + R"("})";
    }
    hostile_.passages.clear();
    editHostileRecord(R"("passages":[])", 13, R"("passages":)" + list + "]");

    auto session = start();
    json transcript = session->call("get_transcript", {{"recording_key", recordingKey(hostile_)}, {"start_seconds", 7}, {"end_seconds", 7.5}, {"limit", 3}}).value_or(json());
    EXPECT_EQ(transcript["total_passages"], 100'000) << transcript.dump().substr(0, 300);
    EXPECT_EQ(transcript["passages"].size(), 3u);
    EXPECT_TRUE(transcript["next_cursor"].is_string());
    json search = session->call("search_transcripts", {{"query", "NEEDLE"}}).value_or(json());
    EXPECT_EQ(search["total"], 1) << search.dump().substr(0, 300);
    EXPECT_EQ(search["items"][0]["recording_key"], recordingKey(hostile_));
    EXPECT_EQ(listedKeys(session->call("list_recordings").value_or(json())).size(), 2u);
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

// The whole shared folder goes away mid-session and comes back: the status
// says it cannot be listed, nothing is served meanwhile, and the recordings
// return with the folder.
TEST_F(HostileFolder, FolderThatDisappearsMidSessionIsReportedAndRecovered) {
    auto session = start();
    // Confined: no new privileges, a seccomp filter (and Landlock, which keeps to the folder's inode).
    const std::string process = testing::readFile("/proc/" + std::to_string(session->pid()) + "/status");
    EXPECT_NE(process.find("NoNewPrivs:\t1\n"), std::string::npos) << process;
    EXPECT_NE(process.find("Seccomp:\t2\n"), std::string::npos) << process;
    const std::vector<std::string> before = listedKeys(session->call("list_recordings").value_or(json()));
    ASSERT_EQ(before.size(), 2u);
    fs::rename(root(), home_ / "moved-away");
    json status = session->call("get_sync_status").value_or(json());
    EXPECT_EQ(status["available_recordings"], 0) << status.dump();
    EXPECT_EQ(status["issue_count"], 1) << status.dump();
    EXPECT_EQ(session->call("get_transcript", {{"recording_key", recordingKey(good_)}}), json({{"error_text", "recording_not_available: 录音不在当前可读清单中；请先查看 get_sync_status。"}}));
    fs::rename(home_ / "moved-away", root());
    EXPECT_EQ(listedKeys(session->call("list_recordings").value_or(json())), before);
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

// A file where the audio cache should be: get_audio answers with the read
// failure and leaves the file alone. The server is confined to the cache it
// found at its start, so once the file is gone the next server delivers the track.
TEST_F(HostileFolder, CacheThatCannotTakeTheTrackIsAReadFailureUntilItCan) {
    testing::writeFile(cache(), "not a directory");
    auto session = start();
    const json readFailed = {{"error_text", "read_failed: 数据读取失败，请查看同步状态或稍后重试。"}};
    EXPECT_EQ(session->call("get_audio", {{"recording_key", recordingKey(good_)}}), readFailed);
    EXPECT_EQ(testing::readFile(cache()), "not a directory");
    fs::remove(cache());
    EXPECT_EQ(session->call("get_audio", {{"recording_key", recordingKey(good_)}}), readFailed);
    EXPECT_EQ(session->finish(), 0) << session->standardError();
    session = start();
    EXPECT_EQ(session->call("get_audio", {{"recording_key", recordingKey(good_)}}).value_or(json())["state"], "available");
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

}  // namespace
}  // namespace quillmere
