// bench-refresh: times the library's own work in one process, without the
// protocol around it.
//
//   bench-refresh --root DIR [--index DIR] [--warm N] [--search WORD --repeat N] [--extract FILE]
//
// Prints one JSON object: "cold_ms" (the first refresh of this process, every
// record decoded), "warm_ms" (each later refresh, every revision cached),
// "search_ms" (search_transcripts answered from the last refresh, refresh
// excluded), "longest_key", "audio_key" and "record_bytes". --index serves
// through the record index in DIR, as a server does. --extract writes every
// passage's text, one a line, for grep to search the same text.

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "mcp_server/library.h"
#include "mcp_server/tools.h"

namespace {

namespace fs = std::filesystem;
namespace mcp = quillmere::mcp;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int run(int argc, char** argv) {
    fs::path root, extract, index;
    int warm = 10, repeat = 20;
    std::string word;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view option = argv[i];
        if (option == "--root") root = argv[i + 1];
        else if (option == "--index") index = argv[i + 1];
        else if (option == "--warm") warm = std::stoi(argv[i + 1]);
        else if (option == "--search") word = argv[i + 1];
        else if (option == "--repeat") repeat = std::stoi(argv[i + 1]);
        else if (option == "--extract") extract = argv[i + 1];
        else throw std::runtime_error("unknown option " + std::string(option));
    }
    const fs::path cache = fs::temp_directory_path() / "quillmere-bench-refresh-cache";
    mcp::Library library(root, cache, mcp::CaseRule::standard, index);

    json out;
    auto start = Clock::now();
    library.refresh();
    out["cold_ms"] = millisecondsSince(start);
    out["items"] = library.items().size();
    out["issues"] = library.issues().size();
    out["in_memory"] = library.records().inMemory();

    json warmTimes = json::array();
    for (int i = 0; i < warm; ++i) {
        start = Clock::now();
        library.refresh();
        warmTimes.push_back(millisecondsSince(start));
    }
    out["warm_ms"] = warmTimes;

    if (!word.empty()) {
        json searchTimes = json::array();
        std::size_t matches = 0;
        for (int i = 0; i < repeat; ++i) {
            start = Clock::now();
            json result = mcp::call(library, "search_transcripts", {{"query", word}, {"limit", 100}});
            searchTimes.push_back(millisecondsSince(start));
            matches = result.dump().size();
        }
        out["search_ms"] = searchTimes;
        out["search_answer_bytes"] = matches;
    }

    const mcp::LibraryItem* longest = nullptr;
    const mcp::LibraryItem* withAudio = nullptr;
    for (const mcp::LibraryItem& item : library.items()) {
        if (!longest || item.recording->passageCount() > longest->recording->passageCount())
            longest = &item;
        if (!withAudio && !item.record().audio.empty()) withAudio = &item;
    }
    if (longest) out["longest_key"] = longest->key;
    if (withAudio) out["audio_key"] = withAudio->key;

    if (!extract.empty()) {
        std::ofstream text(extract, std::ios::binary);
        for (const mcp::LibraryItem& item : library.items())
            for (std::size_t i = 0; i < item.recording->passageCount(); ++i)
                text << item.recording->passage(i).text << '\n';
    }
    std::cout << out.dump() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& failure) {
        std::cerr << "bench-refresh: " << failure.what() << "\n";
        return 1;
    }
}
