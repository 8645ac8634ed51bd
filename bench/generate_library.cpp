// bench-generate: publishes a synthetic but realistic library through the
// publisher, so the files are exactly what a phone would publish. The same
// seed and size always give the same bytes.
//
//   bench-generate --root DIR --recordings N [--seed S] [--media DIR]
//
// Recordings are spread over three sources, last 5 to 90 minutes and hold a
// passage every 5 to 15 seconds of mixed Chinese and English text (Latin
// letters with diacritics included). About one passage in a hundred holds the
// probe word "zephyrine"; the word "qwxyzzy" occurs nowhere. One recording in
// fifty has an audio track.

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sync_core/cloud_publisher.h"
#include "sync_core/shared_records.h"
#include "base/uuid.h"

namespace {

namespace fs = std::filesystem;
namespace sync = quillmere::sync;

constexpr std::size_t sourceCount = 3;
constexpr std::string_view probeWord = "zephyrine";

constexpr std::array<std::string_view, 48> englishWords = {
    "the",      "release",  "plan",     "meeting",   "budget",   "we",        "should",
    "review",   "customer", "feedback", "before",    "Friday",   "and",       "then",
    "ship",     "it",       "café",     "naïve",     "résumé",   "Zürich",    "São",
    "Paulo",    "déjà",     "vu",       "façade",    "Ångström", "München",   "Łódź",
    "project",  "timeline", "design",   "numbers",   "quarter",  "growth",    "team",
    "question", "answer",   "okay",     "so",        "maybe",    "next",      "week",
    "server",   "library",  "search",   "recording", "notes",    "important"};

constexpr std::array<std::string_view, 40> chineseWords = {
    "我们", "今天", "讨论", "一下", "这个", "项目", "的",   "进度", "客户", "反馈",
    "需要", "尽快", "处理", "预算", "问题", "下周", "会议", "安排", "大家", "觉得",
    "怎么样", "好的", "没问题", "然后", "数据", "分析", "结果", "已经", "完成", "还有",
    "设计", "方案", "修改", "一点", "时间", "比较", "紧张", "所以", "先",   "确认"};

constexpr std::array<std::string_view, 6> titles = {
    "Weekly planning", "产品评审会", "Interview notes", "客户电话", "Lecture: thermodynamics",
    "团队同步"};

sync::Uuid uuidFrom(std::mt19937_64& rng) {
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < 16; i += 8) {
        std::uint64_t v = rng();
        for (std::size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<std::uint8_t>(v >> (8 * j));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
    return sync::Uuid(bytes);
}

// One passage of about seconds of speech: English at ~2.5 words a second,
// Chinese at ~4 characters a second, mixed within a passage now and then.
std::string passageText(std::mt19937_64& rng, double seconds, bool chinese) {
    std::uniform_int_distribution<std::size_t> en(0, englishWords.size() - 1);
    std::uniform_int_distribution<std::size_t> zh(0, chineseWords.size() - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    std::string text;
    const int words = std::max(1, static_cast<int>(seconds * (chinese ? 2.0 : 2.5)));
    for (int w = 0; w < words; ++w) {
        const bool mixed = percent(rng) < 8;
        if (chinese != mixed) {
            text += chineseWords[zh(rng)];
        } else {
            if (!text.empty()) text += ' ';
            text += englishWords[en(rng)];
        }
    }
    text += chinese ? "。" : ".";
    return text;
}

// A small valid WAV file of silence-like noise.
void writeWav(const fs::path& file, std::mt19937_64& rng, std::size_t samples) {
    std::ofstream out(file, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(static_cast<std::uint32_t>(36 + samples * 2));
    out.write("WAVEfmt ", 8);
    u32(16), u16(1), u16(1), u32(16000), u32(32000), u16(2), u16(16);
    out.write("data", 4);
    u32(static_cast<std::uint32_t>(samples * 2));
    for (std::size_t i = 0; i < samples; ++i) u16(static_cast<std::uint16_t>(rng() & 0x3ff));
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

int run(int argc, char** argv) {
    fs::path root, media;
    std::size_t recordings = 0;
    std::uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string_view option = argv[i];
        if (option == "--root") root = argv[i + 1];
        else if (option == "--recordings") recordings = std::stoull(argv[i + 1]);
        else if (option == "--seed") seed = std::stoull(argv[i + 1]);
        else if (option == "--media") media = argv[i + 1];
        else throw std::runtime_error("unknown option " + std::string(option));
    }
    if (root.empty() || recordings == 0) {
        std::cerr << "usage: bench-generate --root DIR --recordings N [--seed S] [--media DIR]\n";
        return 2;
    }
    if (media.empty()) media = root.parent_path() / (root.filename().string() + "-media");
    fs::create_directories(root);
    fs::create_directories(media);

    std::mt19937_64 rng(seed);
    std::vector<sync::Uuid> sources;
    for (std::size_t s = 0; s < sourceCount; ++s) sources.push_back(uuidFrom(rng));
    std::vector<std::vector<sync::ExportItem>> items(sourceCount);

    std::uniform_real_distribution<double> minutes(5, 90);
    std::uniform_real_distribution<double> gap(5, 15);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<int> perMille(0, 999);
    std::uniform_int_distribution<std::size_t> titleOf(0, titles.size() - 1);
    const auto epoch = std::chrono::sys_days(std::chrono::year(2024) / 1 / 1);
    std::size_t passages = 0, probes = 0;

    for (std::size_t r = 0; r < recordings; ++r) {
        const std::size_t s = r % sourceCount;
        const bool chinese = percent(rng) < 50;
        sync::SharedRecording record{
            .id = uuidFrom(rng),
            .sourceID = sources[s],
            .name = std::string(titles[titleOf(rng)]) + " " + std::to_string(r + 1),
            .createdAt = epoch + std::chrono::minutes(97 * static_cast<std::int64_t>(r)),
            .duration = std::round(minutes(rng) * 60 * 10) / 10,
            .locale = chinese ? "zh-CN" : "en-US",
            .transcriptComplete = percent(rng) < 95,
        };
        for (double t = 0; t < record.duration;) {
            const double end = std::min(record.duration, std::round((t + gap(rng)) * 100) / 100);
            std::string text = passageText(rng, end - t, chinese);
            if (perMille(rng) < 10) {
                text += std::string(" ") + std::string(probeWord);
                ++probes;
            }
            record.passages.push_back({.start = t, .end = end, .text = std::move(text)});
            t = end;
            ++passages;
        }
        sync::ExportItem item{.record = std::move(record)};
        if (r % 50 == 7) {
            const fs::path wav = media / ("track-" + std::to_string(r) + ".wav");
            std::mt19937_64 noise(seed + r);
            if (!fs::exists(wav)) writeWav(wav, noise, 16000);
            item.audioURLs.push_back(wav);
        }
        items[s].push_back(std::move(item));
    }

    sync::CloudPublisher publisher;
    for (std::size_t s = 0; s < sourceCount; ++s) publisher.publish(items[s], sources[s], true, root);
    std::cout << "recordings " << recordings << " passages " << passages << " probe_passages "
              << probes << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& failure) {
        std::cerr << "bench-generate: " << failure.what() << "\n";
        return 1;
    }
}
