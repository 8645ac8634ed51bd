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
using testing::ServerSession;
using testing::TempDir;

constexpr std::size_t readLimit = 33'554'432;
const std::string audioBytes = "audio track bytes of ";

// Keys of the items a list_recordings call returns (first page of 100).
std::vector<std::string> listedKeys(const json& listing) {
    std::vector<std::string> keys;
    for (const json& item : listing["items"]) keys.push_back(item["recording_key"]);
    return keys;
}

std::string keyOf(const sync::SharedRecording& recording) {
    return recording.sourceID.text() + "/" + recording.id.text();
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

// Moves path to the same place under outside and leaves a link to it.
void linkOut(const fs::path& path, const fs::path& root, const fs::path& outside) {
    fs::path moved = outside / fs::relative(path, root);
    fs::create_directories(moved.parent_path());
    fs::rename(path, moved);
    fs::create_symlink(moved, path);
}

// A home directory holding the shared folder with two sources, each one
// recording with one shared audio track: "good", which nothing breaks, and
// "hostile", which each test breaks in its own way. The hostile source's
// intact files also exist outside the shared folder, for links to point at.
class HostileFolder : public ::testing::Test {
  public:
    HostileFolder() {
        fs::create_directories(root());
        good_ = publish("6F1C2B3A-4D5E-4F60-8172-93A4B5C6D7E8", "good");
        hostile_ = publish("0A1B2C3D-4E5F-4061-8273-9485A6B7C8D9", "hostile");
    }

    fs::path root() const { return home_ / "AgentLibrary"; }
    fs::path outside() const { return home_ / "elsewhere"; }
    fs::path cache() const { return home_ / "cache"; }
    fs::path hostileDir() const { return root() / hostile_.sourceID.text(); }
    fs::path hostileRecord() const {
        return hostileDir() / "records" / entryOf(hostile_).fileName();
    }
    fs::path hostileAudio() const { return hostileDir() / "audio" / hostile_.audio[0].fileName; }

    static sync::SharedManifest::Entry entryOf(const sync::SharedRecording& recording) {
        return {.id = recording.id, .revision = SyncFormat::digest(SyncFormat::encode(recording))};
    }

    sync::SharedRecording publish(const char* source, const char* name) {
        sync::Uuid id = *sync::Uuid::parse(source);
        const fs::path dir = root() / id.text();
        sync::SharedRecording recording =
            testing::makeRecording(id, name, testing::at("2026-03-01T08:00:00Z"),
                                   {{0, 10, std::string(name) + " budget review"}});
        recording.audio.push_back(testing::writeAudio(dir, audioBytes + name, 0));
        testing::writeSource(root(), id, {recording}, true);
        return recording;
    }

    // Replaces the hostile record file with bytes under their own revision and
    // lists that revision in the manifest, so only reading the bytes can refuse them.
    void rewriteHostileRecord(const std::string& bytes) {
        fs::remove(hostileRecord());
        sync::SharedManifest::Entry entry{.id = hostile_.id, .revision = SyncFormat::digest(bytes)};
        testing::writeFile(hostileDir() / "records" / entry.fileName(), bytes);
        sync::SharedManifest manifest{.sourceID = hostile_.sourceID,
                                      .publishedAt = testing::at("2026-03-01T08:15:00Z"),
                                      .includesAudio = true,
                                      .entries = {entry}};
        testing::writeManifest(hostileDir(), manifest);
    }

    std::unique_ptr<ServerSession> start() {
        auto session = std::make_unique<ServerSession>(
            home_.path(), root(), std::vector<std::string>{"--cache-root", cache().string()});
        EXPECT_TRUE(session->initialize()) << session->standardError();
        return session;
    }

    // Files the audio cache holds, hidden ones included; none when it is missing.
    std::vector<std::string> cachedFiles() const {
        if (!fs::is_directory(cache())) return {};
        return testing::listDirectory(cache());
    }

    TempDir home_;
    sync::SharedRecording good_;
    sync::SharedRecording hostile_;
};

// What a broken hostile source must still allow.
enum class Expect {
    // The hostile recording is not served; the good one is.
    recordRefused,
    // The hostile recording is served, but its audio is refused.
    audioRefused,
    // Nothing in the hostile source is refused.
    everythingServed,
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
    ASSERT_TRUE(status) << "no answer to get_sync_status";
    std::optional<json> listing = session->call("list_recordings", {{"limit", 100}});
    ASSERT_TRUE(listing) << "no answer to list_recordings";
    std::vector<std::string> keys = listedKeys(*listing);
    EXPECT_NE(std::find(keys.begin(), keys.end(), keyOf(good_)), keys.end())
        << "the good source suffered: " << listing->dump().substr(0, 500);

    std::optional<json> transcript =
        session->call("get_transcript", {{"recording_key", keyOf(hostile_)}});
    ASSERT_TRUE(transcript) << "no answer to get_transcript";
    std::optional<json> audio = session->call("get_audio", {{"recording_key", keyOf(hostile_)}});
    ASSERT_TRUE(audio) << "no answer to get_audio";
    std::optional<json> goodAudio = session->call("get_audio", {{"recording_key", keyOf(good_)}});
    ASSERT_TRUE(goodAudio) << "no answer to get_audio of the good source";
    EXPECT_EQ((*goodAudio)["state"], "available") << goodAudio->dump();

    const bool hostileListed = std::find(keys.begin(), keys.end(), keyOf(hostile_)) != keys.end();
    switch (GetParam().expect) {
        case Expect::recordRefused:
            EXPECT_FALSE(hostileListed);
            EXPECT_EQ((*status)["available_recordings"], 1) << status->dump();
            EXPECT_TRUE(transcript->contains("error_text")) << transcript->dump();
            EXPECT_TRUE(audio->contains("error_text")) << audio->dump();
            EXPECT_GE((*status)["issue_count"], 1) << status->dump();
            break;
        case Expect::audioRefused:
            EXPECT_TRUE(hostileListed);
            EXPECT_EQ((*transcript)["passages"].size(), 1u) << transcript->dump();
            EXPECT_TRUE(audio->contains("error_text") || (*audio)["state"] != "available")
                << audio->dump();
            break;
        case Expect::everythingServed:
            EXPECT_TRUE(hostileListed);
            EXPECT_EQ((*audio)["state"], "available") << audio->dump();
            break;
    }
    // Only the good track was delivered, and nothing half-copied is left.
    std::vector<std::string> expectedCache = {good_.audio[0].fileName};
    if (GetParam().expect == Expect::everythingServed) {
        expectedCache.push_back(hostile_.audio[0].fileName);
        std::sort(expectedCache.begin(), expectedCache.end());
    }
    EXPECT_EQ(cachedFiles(), expectedCache);

    EXPECT_TRUE(session->alive());
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

INSTANTIATE_TEST_SUITE_P(
    HostileFolder, HostileFolderCases,
    ::testing::Values(
        HostileCase{"SourceDirectoryLinkedOut",
                    [](HostileFolder& f) { linkOut(f.hostileDir(), f.root(), f.outside()); },
                    Expect::recordRefused},
        HostileCase{"ManifestLinkedOut",
                    [](HostileFolder& f) {
                        linkOut(f.hostileDir() / "manifest.json", f.root(), f.outside());
                    },
                    Expect::recordRefused},
        HostileCase{
            "RecordsDirectoryLinkedOut",
            [](HostileFolder& f) { linkOut(f.hostileDir() / "records", f.root(), f.outside()); },
            Expect::recordRefused},
        HostileCase{"RecordFileLinkedOut",
                    [](HostileFolder& f) { linkOut(f.hostileRecord(), f.root(), f.outside()); },
                    Expect::recordRefused},
        HostileCase{
            "AudioDirectoryLinkedOut",
            [](HostileFolder& f) { linkOut(f.hostileDir() / "audio", f.root(), f.outside()); },
            Expect::audioRefused},
        HostileCase{"AudioFileLinkedOut",
                    [](HostileFolder& f) { linkOut(f.hostileAudio(), f.root(), f.outside()); },
                    Expect::audioRefused},
        HostileCase{"RecordFileIsAFifo", [](HostileFolder& f) { makeFifo(f.hostileRecord()); },
                    Expect::recordRefused},
        HostileCase{"ManifestIsAFifo",
                    [](HostileFolder& f) { makeFifo(f.hostileDir() / "manifest.json"); },
                    Expect::recordRefused},
        HostileCase{"AudioFileIsAFifo", [](HostileFolder& f) { makeFifo(f.hostileAudio()); },
                    Expect::audioRefused},
        HostileCase{"RecordFileIsADevice",
                    [](HostileFolder& f) { makeDeviceLike(f.hostileRecord()); },
                    Expect::recordRefused},
        HostileCase{"AudioFileIsADevice",
                    [](HostileFolder& f) { makeDeviceLike(f.hostileAudio()); },
                    Expect::audioRefused},
        HostileCase{"RecordNameIsInvalidUtf8",
                    [](HostileFolder& f) {
                        // Valid JSON framing around bytes that are not UTF-8, under the
                        // revision the manifest names, so only decoding can refuse it.
                        std::string bytes = SyncFormat::encode(f.hostile_);
                        std::size_t name = bytes.find("hostile");
                        bytes.replace(name, 7, "\xff\xfe\xc0\x80");
                        f.rewriteHostileRecord(bytes);
                    },
                    Expect::recordRefused},
        HostileCase{"RecordNestedFarTooDeep",
                    [](HostileFolder& f) {
                        std::string bytes = SyncFormat::encode(f.hostile_);
                        bytes.insert(1, R"("extra":)" + std::string(200'000, '[') +
                                            std::string(200'000, ']') + ",");
                        f.rewriteHostileRecord(bytes);
                    },
                    Expect::recordRefused},
        HostileCase{"RecordDatedOutsideTheRepresentableRange",
                    [](HostileFolder& f) {
                        std::string bytes = SyncFormat::encode(f.hostile_);
                        std::size_t date = bytes.find("2026-03-01T08:00:00Z");
                        bytes.replace(date, 4, "1013");
                        f.rewriteHostileRecord(bytes);
                    },
                    Expect::recordRefused},
        HostileCase{"ManifestDatedOutsideTheRepresentableRange",
                    [](HostileFolder& f) {
                        const fs::path manifest = f.hostileDir() / "manifest.json";
                        std::string bytes = testing::readFile(manifest);
                        bytes.replace(bytes.find("\"publishedAt\":\"2026") + 15, 4, "9999");
                        testing::writeFile(manifest, bytes);
                    },
                    Expect::recordRefused},
        HostileCase{"RecordNestedJustWithinTheBound",
                    [](HostileFolder& f) {
                        // An unknown key is ignored, however it is nested.
                        std::string bytes = SyncFormat::encode(f.hostile_);
                        bytes.insert(
                            1, R"("extra":)" + std::string(500, '[') + std::string(500, ']') + ",");
                        f.rewriteHostileRecord(bytes);
                    },
                    Expect::everythingServed}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return info.param.name; });

// A manifest is read up to the limit: exactly 32 MiB (padded with JSON
// whitespace) is accepted, one byte more makes the source an issue.
TEST_F(HostileFolder, ManifestOfExactlyTheLimitIsReadAndOneByteMoreIsRefused) {
    const fs::path manifest = hostileDir() / "manifest.json";
    std::string bytes = testing::readFile(manifest);
    ASSERT_LT(bytes.size(), readLimit);
    bytes.resize(readLimit, ' ');
    testing::writeFile(manifest, bytes);
    auto session = start();
    std::optional<json> status = session->call("get_sync_status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["available_recordings"], 2) << status->dump();

    bytes.push_back(' ');
    testing::writeFile(manifest, bytes);
    status = session->call("get_sync_status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["available_recordings"], 1) << status->dump();
    ASSERT_EQ((*status)["issues"].size(), 1u) << status->dump();
    EXPECT_EQ((*status)["issues"][0]["source_id"], hostile_.sourceID.text());
    EXPECT_TRUE(session->alive());
    EXPECT_EQ(session->finish(), 0);
}

// A writer keeps appending to a record file while the server reads it: each
// read ends (at most the limit plus one byte is taken), the changed bytes are
// never served, and the server answers throughout.
TEST_F(HostileFolder, RecordFileThatKeepsGrowingIsNotServedAndDoesNotStallTheServer) {
    const fs::path record = hostileRecord();
    std::atomic<bool> stop = false;
    std::thread writer([&] {
        int fd = ::open(record.c_str(), O_WRONLY | O_APPEND);
        if (fd < 0) return;
        const std::string chunk(65536, ' ');
        // Grows past the read limit, then starts over, until the test ends.
        while (!stop) {
            if (::write(fd, chunk.data(), chunk.size()) < 0) break;
            struct stat st {};
            if (::fstat(fd, &st) == 0 &&
                static_cast<std::size_t>(st.st_size) > readLimit + chunk.size())
                if (::ftruncate(fd, 1) != 0) break;
        }
        ::close(fd);
    });
    auto session = start();
    for (int i = 0; i < 5; ++i) {
        std::optional<json> listing = session->call("list_recordings", {{"limit", 100}});
        ASSERT_TRUE(listing) << "no answer while the record grows";
        std::vector<std::string> keys = listedKeys(*listing);
        EXPECT_EQ(keys, std::vector<std::string>{keyOf(good_)});
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(session->alive());
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

// Request lines the parser must not choke on: nested far beyond the bound
// (answered with a parse error instead of overflowing the stack) and bytes
// that are not UTF-8 (a parse error too); the session goes on after each.
TEST_F(HostileFolder, HostileRequestLinesGetParseErrorsAndTheSessionGoesOn) {
    auto session = start();
    const std::vector<std::string> lines = {
        std::string(1'000'000, '[') + "\n",
        std::string(500'000, '{') + "\n",
        R"({"jsonrpc":"2.0","id":1,"method":"ping","params":)" + std::string(100'000, '[') +
            std::string(100'000, ']') + "}\n",
        "{\"jsonrpc\":\"2.0\",\"id\":\"\xff\xfe\",\"method\":\"ping\"}\n",
        "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"p\xc0\x80ing\"}\n",
        "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"tools/call\",\"params\":{\"name\":\"search_"
        "transcripts\",\"arguments\":{\"query\":\"\xed\xa0\x80\"}}}\n",
    };
    for (const std::string& line : lines) {
        session->send(line);
        std::optional<json> response = session->receive();
        ASSERT_TRUE(response) << "no answer to a hostile line";
        EXPECT_EQ((*response)["id"], nullptr) << response->dump();
        EXPECT_EQ((*response)["error"]["code"], -32700) << response->dump();
        EXPECT_TRUE(session->alive());
    }
    // Nested within the bound, in arguments the tool does not know: a tool error.
    std::optional<json> nested = session->call(
        "get_sync_status", {{"extra", json::parse(std::string(400, '[') + std::string(400, ']'))}});
    ASSERT_TRUE(nested);
    EXPECT_TRUE(nested->contains("error_text")) << nested->dump().substr(0, 300);
    EXPECT_TRUE(session->alive());
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

// A recording of a million passages is served, paged and searched like any
// other. Written by hand with integer times and empty texts (about 31 MB), as
// the encoder's "1.0" form would not fit the read limit.
TEST_F(HostileFolder, MillionPassageRecordingIsServedPagedAndSearched) {
    constexpr int passages = 1'000'000;
    hostile_.passages.clear();
    std::string list = "[";
    for (int i = 0; i < passages; ++i) {
        // Ten seconds of 100,000 passages each.
        const int second = i / 100'000;
        if (i > 0) list += ',';
        list += R"({"end":)" + std::to_string(second + 1) + R"(,"start":)" +
                std::to_string(second) + R"(,"text":")" + (i == 765'432 ? "needle" : "") + R"("})";
    }
    list += "]";
    std::string bytes = SyncFormat::encode(hostile_);
    const std::size_t empty = bytes.find(R"("passages":[])");
    ASSERT_NE(empty, std::string::npos);
    bytes.replace(empty + 11, 2, list);
    ASSERT_LT(bytes.size(), readLimit);
    rewriteHostileRecord(bytes);

    auto session = start();
    std::optional<json> transcript =
        session->call("get_transcript", {{"recording_key", keyOf(hostile_)},
                                         {"start_seconds", 7},
                                         {"end_seconds", 7.5},
                                         {"limit", 3}});
    ASSERT_TRUE(transcript);
    EXPECT_EQ((*transcript)["total_passages"], 100'000) << transcript->dump().substr(0, 300);
    EXPECT_EQ((*transcript)["passages"].size(), 3u);
    EXPECT_TRUE((*transcript)["next_cursor"].is_string());
    std::optional<json> search = session->call("search_transcripts", {{"query", "NEEDLE"}});
    ASSERT_TRUE(search);
    ASSERT_EQ((*search)["total"], 1) << search->dump().substr(0, 300);
    EXPECT_EQ((*search)["items"][0]["recording_key"], keyOf(hostile_));
    std::optional<json> listing = session->call("list_recordings");
    ASSERT_TRUE(listing);
    ASSERT_EQ(listedKeys(*listing).size(), 2u);
    EXPECT_TRUE(session->alive());
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

// The whole shared folder goes away mid-session and comes back: the status
// says it cannot be listed, nothing is served meanwhile, and the recordings
// return with the folder.
TEST_F(HostileFolder, FolderThatDisappearsMidSessionIsReportedAndRecovered) {
    auto session = start();
    std::optional<json> before = session->call("list_recordings");
    ASSERT_TRUE(before);
    ASSERT_EQ(listedKeys(*before).size(), 2u);

    fs::rename(root(), home_ / "moved-away");
    std::optional<json> status = session->call("get_sync_status");
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["available_recordings"], 0) << status->dump();
    EXPECT_EQ((*status)["issue_count"], 1) << status->dump();
    std::optional<json> transcript =
        session->call("get_transcript", {{"recording_key", keyOf(good_)}});
    ASSERT_TRUE(transcript);
    EXPECT_TRUE(transcript->contains("error_text")) << transcript->dump();

    fs::rename(home_ / "moved-away", root());
    std::optional<json> after = session->call("list_recordings");
    ASSERT_TRUE(after);
    EXPECT_EQ(listedKeys(*after), listedKeys(*before));
    EXPECT_TRUE(session->alive());
    EXPECT_EQ(session->finish(), 0) << session->standardError();
}

}  // namespace
}  // namespace quillmere
