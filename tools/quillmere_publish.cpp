// quillmere-publish: publishes recordings described in hand-written JSON files
// into a shared AgentLibrary folder, as the phone app would, so a folder can be
// filled and served without the phone.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "sync_core/cloud_publisher.h"
#include "sync_core/date_time.h"
#include "base/json_text.h"
#include "sync_core/shared_records.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "base/uuid.h"

namespace {

namespace fs = std::filesystem;
namespace sync = quillmere::sync;
using nlohmann::json;

constexpr std::string_view helpText =
    R"(Usage: quillmere-publish --root DIR --source UUID [--audio] DESCRIPTION.json...

Publishes recordings into a shared AgentLibrary folder the way the phone app
does, so that quillmere-mcp can serve them. Each run publishes the complete
list of the source's recordings: a recording left out of a run disappears
from the source's manifest (its files stay). Running it again with the same
descriptions writes nothing.

Options:
  --root DIR      the shared folder (the AgentLibrary directory itself);
                  created when missing
  --source UUID   the publishing source, e.g. from `uuidgen` or
                  `cat /proc/sys/kernel/random/uuid`; keep using the same id
                  for the same collection of recordings
  --audio         share the audio tracks the descriptions list; without it
                  only the transcripts are published
  --help          print this text
  --version       print the version

Each DESCRIPTION.json holds one recording, or a JSON array of recordings:

  {
    "id": "3F2B8C1E-5D4A-4E6F-9A7B-1C2D3E4F5A6B",
    "name": "Weekly planning",
    "createdAt": "2025-03-01T09:30:00Z",
    "duration": 42.5,
    "locale": "en-US",
    "sessionID": "0B5E2F7A-9C1D-4B3E-8F6A-2D4C6E8A0B1C",
    "transcriptComplete": true,
    "passages": [
      {"start": 0.0, "end": 4.2, "text": "Good morning, everyone."},
      {"start": 4.2, "end": 9.8, "text": "Let's go through the release plan."}
    ],
    "audio": ["audio/planning.wav"]
  }

  id          required; the recording's UUID, stable across edits
  name        required; the display name
  createdAt   required; when it was recorded, "YYYY-MM-DDTHH:MM:SSZ" or with
              an offset such as "+08:00"; whole seconds
  duration    required; length in seconds
  locale      optional; the transcript's language, e.g. "zh-CN"
  sessionID   optional; UUID of the session the recording belongs to
  transcriptComplete  optional, default true
  passages    optional, default none; times in seconds from the start, with
              start <= end <= duration + 1
  audio       optional; media files of the tracks in track order, relative
              to the description file (m4a, wav, caf, mov, mp4, aac, qta)

Every description is checked before anything is written. Output: the files
written and whether the manifest changed, on standard output; every failure
on standard error. Exit status: 0 success, 1 failure, 2 wrong usage.
)";

// A failure of this command's input, reported as "<where>: <what>".
class InputError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct Options {
    fs::path root;
    sync::Uuid source;
    bool audio = false;
    std::vector<fs::path> descriptions;
};

Options parseArguments(int argc, char** argv, bool& done) {
    Options options;
    bool haveRoot = false, haveSource = false;
    done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) throw UsageError(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << helpText;
            done = true;
            return options;
        } else if (arg == "--version") {
            std::cout << "quillmere-publish " << QUILLMERE_VERSION << "\n";
            done = true;
            return options;
        } else if (arg == "--root") {
            const std::string_view root = value();
            if (root.empty()) throw UsageError("--root needs a folder");
            options.root = fs::absolute(fs::path(root)).lexically_normal();
            if (!options.root.has_filename()) options.root = options.root.parent_path();
            haveRoot = true;
        } else if (arg == "--source") {
            const std::string_view text = value();
            std::optional<sync::Uuid> source = sync::Uuid::parse(text);
            if (!source) throw UsageError("--source: not a UUID: " + std::string(text));
            options.source = *source;
            haveSource = true;
        } else if (arg == "--audio") {
            options.audio = true;
        } else if (arg.starts_with("-")) {
            throw UsageError("unknown option " + std::string(arg));
        } else {
            options.descriptions.emplace_back(arg);
        }
    }
    if (!haveRoot) throw UsageError("--root is required");
    if (!haveSource) throw UsageError("--source is required");
    if (options.descriptions.empty()) throw UsageError("no recording descriptions given");
    return options;
}

// One recording read from a description file, with where it came from.
struct Described {
    sync::ExportItem item;
    std::string origin;
};

const json& required(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        throw InputError(std::string("missing \"") + key + "\"");
    }
    return *it;
}

std::string text(const json& value, const char* key) {
    if (!value.is_string()) throw InputError(std::string("\"") + key + "\" must be a string");
    return value.get<std::string>();
}

double number(const json& value, const char* key) {
    if (!value.is_number()) throw InputError(std::string("\"") + key + "\" must be a number");
    return value.get<double>();
}

sync::Uuid uuid(const json& value, const char* key) {
    std::optional<sync::Uuid> parsed = sync::Uuid::parse(text(value, key));
    if (!parsed) {
        throw InputError(std::string("\"") + key +
                         "\" must be a UUID such as 3F2B8C1E-5D4A-4E6F-9A7B-1C2D3E4F5A6B");
    }
    return *parsed;
}

bool hasAllowedExtension(const fs::path& file) {
    std::string extension = file.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(sync::allowedAudioExtensions.begin(), sync::allowedAudioExtensions.end(),
                     extension) != sync::allowedAudioExtensions.end();
}

sync::ExportItem readRecording(const json& object, const fs::path& baseDirectory,
                               const Options& options) {
    if (!object.is_object()) throw InputError("a recording must be a JSON object");
    static const std::set<std::string> known = {
        "id",       "name", "createdAt", "duration", "locale", "sessionID", "transcriptComplete",
        "passages", "audio"};
    for (const auto& [key, value] : object.items()) {
        if (!known.contains(key)) throw InputError("unknown key \"" + key + "\"");
    }

    sync::ExportItem item;
    sync::SharedRecording& record = item.record;
    record.id = uuid(required(object, "id"), "id");
    record.sourceID = options.source;
    record.name = text(required(object, "name"), "name");
    const std::string created = text(required(object, "createdAt"), "createdAt");
    std::optional<sync::Instant> createdAt = sync::parseInternetDate(created);
    if (!createdAt) {
        throw InputError("\"createdAt\" must be a date such as 2025-03-01T09:30:00Z, not \"" +
                         created + "\"");
    }
    record.createdAt = *createdAt;
    record.duration = number(required(object, "duration"), "duration");
    if (auto it = object.find("locale"); it != object.end() && !it->is_null()) {
        std::string locale = text(*it, "locale");
        if (!locale.empty()) record.locale = std::move(locale);
    }
    if (auto it = object.find("sessionID"); it != object.end() && !it->is_null()) {
        record.sessionID = uuid(*it, "sessionID");
    }
    record.transcriptComplete = true;
    if (auto it = object.find("transcriptComplete"); it != object.end() && !it->is_null()) {
        if (!it->is_boolean()) throw InputError("\"transcriptComplete\" must be true or false");
        record.transcriptComplete = it->get<bool>();
    }
    if (auto it = object.find("passages"); it != object.end() && !it->is_null()) {
        if (!it->is_array()) throw InputError("\"passages\" must be a list");
        for (const json& passage : *it) {
            if (!passage.is_object()) {
                throw InputError("each passage must be an object with start, end and text");
            }
            for (const auto& [key, value] : passage.items()) {
                if (key != "start" && key != "end" && key != "text") {
                    throw InputError("unknown passage key \"" + key + "\"");
                }
            }
            record.passages.push_back({number(required(passage, "start"), "start"),
                                       number(required(passage, "end"), "end"),
                                       text(required(passage, "text"), "text")});
        }
    }
    if (auto it = object.find("audio"); it != object.end() && !it->is_null()) {
        if (!it->is_array()) throw InputError("\"audio\" must be a list of file paths");
        for (const json& entry : *it) {
            const std::string path = text(entry, "audio");
            if (path.empty()) throw InputError("an \"audio\" path is empty");
            item.audioURLs.push_back((baseDirectory / path).lexically_normal());
        }
    }

    try {
        record.validate();
    } catch (const sync::SyncFailure&) {
        throw InputError(
            "the recording breaks the format's rules: the duration must be a finite number "
            "not below 0, and each passage must have 0 <= start <= end <= duration + 1");
    }
    if (options.audio) {
        for (const fs::path& media : item.audioURLs) {
            std::error_code ec;
            if (!fs::is_regular_file(media, ec)) {
                throw InputError("audio file " + media.string() + " does not exist");
            }
            if (fs::file_size(media, ec) == 0) {
                throw InputError("audio file " + media.string() + " is empty");
            }
            if (!hasAllowedExtension(media)) {
                throw InputError("audio file " + media.string() +
                                 " must end in .m4a, .wav, .caf, .mov, .mp4, .aac or .qta");
            }
        }
    }
    return item;
}

std::vector<Described> readDescription(const fs::path& file, const Options& options) {
    const std::string where = file.string();
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw InputError(where + ": cannot be read: " +
                         std::error_code(errno, std::generic_category()).message());
    }
    std::ostringstream contents;
    contents << in.rdbuf();

    json document;
    try {
        document = quillmere::base::parseJSON(contents.str());
    } catch (const quillmere::base::DecodingError& e) {
        throw InputError(where + ": not valid JSON: " + e.what());
    }
    const fs::path base = fs::absolute(file).parent_path();
    std::vector<Described> result;
    auto readOne = [&](const json& object, const std::string& origin) {
        try {
            result.push_back({readRecording(object, base, options), origin});
        } catch (const InputError& e) {
            throw InputError(origin + ": " + e.what());
        }
    };
    if (document.is_array()) {
        for (std::size_t i = 0; i < document.size(); ++i) {
            readOne(document[i], where + " [" + std::to_string(i) + "]");
        }
    } else {
        readOne(document, where);
    }
    return result;
}

// Names of the visible files of a directory; staging files are hidden.
std::set<std::string> visibleFiles(const fs::path& directory) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(".")) names.insert(name);
    }
    return names;
}

std::optional<std::string> fileContents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

int run(const Options& options) {
    std::vector<sync::ExportItem> items;
    std::map<sync::Uuid, std::string> origins;
    std::size_t tracksListed = 0;
    for (const fs::path& file : options.descriptions) {
        for (Described& described : readDescription(file, options)) {
            auto [it, inserted] = origins.emplace(described.item.record.id, described.origin);
            if (!inserted) {
                throw InputError(described.origin + ": recording id " +
                                 described.item.record.id.text() + " is already used by " +
                                 it->second);
            }
            tracksListed += described.item.audioURLs.size();
            items.push_back(std::move(described.item));
        }
    }

    const fs::path sourceDirectory = options.root / options.source.text();
    const fs::path manifestFile = sourceDirectory / "manifest.json";
    const std::set<std::string> recordsBefore = visibleFiles(sourceDirectory / "records");
    const std::set<std::string> audioBefore = visibleFiles(sourceDirectory / "audio");
    const std::optional<std::string> manifestBefore = fileContents(manifestFile);

    sync::CloudPublisher publisher;
    const sync::SharedManifest manifest =
        publisher.publish(items, options.source, options.audio, options.root);

    std::cout << "Published " << manifest.entries.size()
              << (manifest.entries.size() == 1 ? " recording" : " recordings") << " of source "
              << options.source.text() << " into " << options.root.string()
              << (options.audio ? " (audio shared)" : " (audio not shared)") << ".\n";
    if (!options.audio && tracksListed > 0) {
        std::cout << "Audio: " << tracksListed
                  << (tracksListed == 1 ? " track was" : " tracks were")
                  << " left out; pass --audio to share them.\n";
    }
    std::size_t written = 0;
    for (const auto& [directory, before] :
         {std::pair{"records", recordsBefore}, std::pair{"audio", audioBefore}}) {
        for (const std::string& name : visibleFiles(sourceDirectory / directory)) {
            if (before.contains(name)) continue;
            std::cout << "  new " << options.source.text() << "/" << directory << "/" << name
                      << "\n";
            ++written;
        }
    }
    if (written == 0) std::cout << "No new files.\n";
    const std::string publishedAt = sync::formatInternetDate(manifest.publishedAt);
    if (fileContents(manifestFile) != manifestBefore) {
        std::cout << "Manifest written: " << options.source.text()
                  << "/manifest.json, published at " << publishedAt << ".\n";
    } else {
        std::cout << "Manifest unchanged, published at " << publishedAt << ".\n";
    }
    if (options.root.filename() != sync::SyncFormat::directory) {
        std::cerr << "quillmere-publish: note: quillmere-mcp --choose-folder accepts only a folder "
                     "named "
                  << sync::SyncFormat::directory << "; --cloud-root takes any folder.\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        bool done = false;
        Options options = parseArguments(argc, argv, done);
        if (done) return 0;
        return run(options);
    } catch (const UsageError& e) {
        std::cerr << "quillmere-publish: " << e.what()
                  << "\nTry 'quillmere-publish --help' for more information.\n";
        return 2;
    } catch (const InputError& e) {
        std::cerr << "quillmere-publish: " << e.what() << "\nNothing was published.\n";
        return 1;
    } catch (const sync::SyncFailure& e) {
        std::cerr << "quillmere-publish: publishing failed: " << e.errorDescription()
                  << "\nThe manifest was not changed.\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "quillmere-publish: publishing failed: " << e.what()
                  << "\nThe manifest was not changed.\n";
        return 1;
    }
}
