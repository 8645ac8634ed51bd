#include "mcp_server/indexed_recording.h"

#include <optional>
#include <stdexcept>
#include <type_traits>

#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"

namespace quillmere::mcp {

namespace SyncFormat = sync::SyncFormat;

namespace {

// The stored form: the record's fields in declaration order (numbers in host
// layout, texts as a 32-bit length and the bytes, optionals as a flag byte
// and the value, the audio list as a count and its entries), the passage
// count, zeros up to a multiple of 8, the times, the checksum of the texts'
// content, then PassageTexts::bytes(). The index checks all but the content.
class Writer {
  public:
    template <class T>
        requires std::is_trivially_copyable_v<T>
    void put(const T& value) {
        out.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void put(std::string_view text) {
        put(static_cast<std::uint32_t>(text.size()));
        out += text;
    }
    void put(const sync::Uuid& id) { put(id.bytes()); }
    void align() { out.resize((out.size() + 7) / 8 * 8, '\0'); }

    std::string out;
};

class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}

    template <class T>
        requires std::is_trivially_copyable_v<T>
    T get() {
        T value;
        std::memcpy(&value, take(sizeof value).data(), sizeof value);
        return value;
    }
    std::string text() { return std::string(take(get<std::uint32_t>())); }
    sync::Uuid id() { return sync::Uuid(get<std::array<std::uint8_t, 16>>()); }
    bool flag() {
        const auto value = get<std::uint8_t>();
        if (value > 1) refuse();
        return value == 1;
    }
    void align() { take((8 - at_ % 8) % 8); }
    std::string_view take(std::size_t size) {
        if (size > in_.size() - at_) refuse();
        const std::string_view part = in_.substr(at_, size);
        at_ += size;
        return part;
    }
    std::string_view rest() { return take(in_.size() - at_); }

    [[noreturn]] static void refuse() { throw std::invalid_argument("not a stored recording"); }

  private:
    std::string_view in_;
    std::size_t at_ = 0;
};

}  // namespace

IndexedRecording::IndexedRecording(std::string_view bytes, CaseRule rule) {
    PassageTexts::Builder texts(rule);
    record = SyncFormat::decodeRecording(bytes, [&](double start, double end, std::string_view text) {
        ownedTimes_.push_back({.start = start, .end = end});
        texts.add(text);
    });
    record.validate();
    for (const Times& t : ownedTimes_) {
        if (!sync::SharedRecording::validPassageTimes(t.start, t.end, record.duration))
            throw sync::SyncFailure::invalidData();
    }
    ownedTimes_.shrink_to_fit();
    times_ = reinterpret_cast<const char*>(ownedTimes_.data());
    texts_ = std::move(texts).finish();
}

sync::SharedPassage IndexedRecording::passage(std::size_t i) const {
    const Times t = times(i);
    return {.start = t.start, .end = t.end, .text = passageText().original(i)};
}

const PassageTexts& IndexedRecording::passageText() const {
    if (!intact()) throw Damaged();
    return texts_;
}

bool IndexedRecording::intact() const {
    if (!contentChecked_) contentChecked_ = RecordIndex::Snapshot::holds(texts_.content(), contentSum_);
    return contentChecked_;
}

RecordIndex::Value IndexedRecording::stored() const {
    Writer w;
    w.put(record.schemaVersion);
    w.put(record.id);
    w.put(record.sourceID);
    w.put(std::string_view(record.name));
    w.put(record.createdAt.time_since_epoch().count());
    w.put(record.duration);
    w.put(static_cast<std::uint8_t>(record.sessionID.has_value()));
    if (record.sessionID) w.put(*record.sessionID);
    w.put(static_cast<std::uint8_t>(record.locale.has_value()));
    if (record.locale) w.put(std::string_view(*record.locale));
    w.put(static_cast<std::uint8_t>(record.transcriptComplete));
    w.put(static_cast<std::uint32_t>(record.audio.size()));
    for (const sync::SharedAudio& audio : record.audio) {
        w.put(std::string_view(audio.fileName));
        w.put(std::string_view(audio.sha256));
        w.put(audio.bytes);
        w.put(audio.track);
    }
    w.put(static_cast<std::uint64_t>(passageCount()));
    w.align();
    w.out.append(times_, passageCount() * sizeof(Times));
    w.put(RecordIndex::checksum({}, texts_.content()));
    w.out += texts_.bytes();
    const std::size_t checked = w.out.size() - texts_.content().size();
    return {std::move(w.out), checked};
}

std::shared_ptr<const IndexedRecording> IndexedRecording::fromStored(std::string_view stored) {
    Reader r(stored);
    std::shared_ptr<IndexedRecording> indexed(new IndexedRecording());
    sync::SharedRecording& record = indexed->record;
    record.schemaVersion = r.get<std::int64_t>();
    record.id = r.id();
    record.sourceID = r.id();
    record.name = r.text();
    record.createdAt = sync::Instant(sync::Instant::duration(r.get<sync::Instant::rep>()));
    record.duration = r.get<double>();
    if (r.flag()) record.sessionID = r.id();
    if (r.flag()) record.locale = r.text();
    record.transcriptComplete = r.flag();
    const auto audioCount = r.get<std::uint32_t>();
    if (audioCount > stored.size() / (2 * sizeof(std::int64_t))) Reader::refuse();
    record.audio.resize(audioCount);
    for (sync::SharedAudio& audio : record.audio) {
        audio.fileName = r.text();
        audio.sha256 = r.text();
        audio.bytes = r.get<std::int64_t>();
        audio.track = r.get<std::int64_t>();
    }
    const auto count = r.get<std::uint64_t>();
    r.align();
    if (count > stored.size() / sizeof(Times)) Reader::refuse();
    indexed->times_ = r.take(count * sizeof(Times)).data();
    indexed->contentSum_ = r.get<std::uint64_t>();
    indexed->contentChecked_ = false;
    indexed->texts_ = PassageTexts::view(r.rest());
    if (indexed->texts_.size() != count) Reader::refuse();
    return indexed;
}

}  // namespace quillmere::mcp
