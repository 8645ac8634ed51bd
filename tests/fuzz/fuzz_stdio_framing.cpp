// The stdio framing under arbitrary chunking: whatever the read sizes, the
// lines handed on are exactly those of a one-pass split of the stream (empty
// ones skipped, over-long ones reported once as oversized), and the framer
// never holds more than a line's limit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mcp_server/stdio_loop.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using quillmere::mcp::LineFramer;

// "L:<line>" or "O" per event, in order.
using Events = std::vector<std::string>;

Events splitWhole(std::string_view stream) {
    Events events;
    std::size_t start = 0;
    for (std::size_t end; (end = stream.find('\n', start)) != std::string_view::npos;
         start = end + 1) {
        std::size_t length = end - start;
        if (length > LineFramer::maxLineBytes) {
            events.push_back("O");
        } else if (length > 0) {
            events.push_back("L:" + std::string(stream.substr(start, length)));
        }
    }
    return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillmere;
    if (size < 2) return 0;
    // The first byte is the number of chunk sizes that follow; the stream is
    // the rest. A repeat count in the top bit of each size byte stretches a
    // chunk so lines longer than the limit occur too.
    std::size_t sizeCount = std::min<std::size_t>(data[0] % 16, size - 1);
    std::vector<std::size_t> chunkSizes;
    for (std::size_t i = 0; i < sizeCount; ++i) chunkSizes.push_back(1 + data[1 + i]);
    std::string stream(reinterpret_cast<const char*>(data) + 1 + sizeCount, size - 1 - sizeCount);
    // Some inputs get a line over the limit, built around the fuzz bytes.
    if (!stream.empty() && stream[0] == 'X') {
        std::string big(LineFramer::maxLineBytes, 'a');
        stream.insert(stream.size() / 2, big);
        for (std::size_t& chunk : chunkSizes) chunk *= 4099;
    }
    if (chunkSizes.empty()) chunkSizes.push_back(stream.size() + 1);

    LineFramer framer;
    Events events;
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < stream.size(); ++i) {
        std::size_t take = std::min(chunkSizes[i % chunkSizes.size()], stream.size() - offset);
        framer.feed(
            std::string_view(stream).substr(offset, take),
            [&](std::string_view line) { events.push_back("L:" + std::string(line)); },
            [&] { events.push_back("O"); });
        fuzz::require(framer.pendingBytes() <= LineFramer::maxLineBytes,
                      "the framer holds more than a line's limit");
        offset += take;
    }
    fuzz::require(events == splitWhole(stream), "chunking changed the lines");
    return 0;
}
