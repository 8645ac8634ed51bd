#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::mcp {

// The record index: derived forms of record files, stored under a key that
// names everything they were derived from, in one LMDB environment that every
// server of the user shares. Readers map the file, so the processes share one
// copy through the page cache; each value carries a checksum bound to its
// key over the part of it that must be sound before anything is read from
// it, so damaged bytes are found instead of served. A cache only: whatever
// fails here throws, and the caller goes on without it.
class RecordIndex {
  public:
    struct Environment;
    class Snapshot;

    // Opens the index in directory, creating it (mode 0700, files 0600) when
    // missing. Throws std::runtime_error saying why it cannot be used: the
    // folder or a file is a link, another user's, open to others, or LMDB
    // refuses it (not an environment of its version, locked, unwritable).
    explicit RecordIndex(const std::filesystem::path& directory);
    ~RecordIndex();

    // A consistent view for up to readers threads at once.
    std::shared_ptr<const Snapshot> snapshot(unsigned readers) const;

    // A value's bytes, of which the index checks the first `checked` when
    // the value is found; the rest is the caller's to check (with holds())
    // before it first reads them.
    struct Value {
        std::string bytes;
        std::size_t checked = std::string::npos;
    };
    // One value to store: its key and what builds it.
    struct Put {
        std::string key;
        std::function<Value()> value;
    };
    // Removes the keys in removed, then stores each value whose key is not
    // there yet (another server may have stored it meanwhile), committing as
    // it goes so that no transaction grows without bound. Throws
    // std::runtime_error.
    void write(const std::vector<Put>& puts, const std::vector<std::string>& removed);

    const std::filesystem::path& directory() const { return directory_; }

    // The checksum of bytes, bound to key.
    static std::uint64_t checksum(std::string_view key, std::string_view bytes);

  private:
    std::filesystem::path directory_;
    std::shared_ptr<Environment> environment_;
};

// Read transactions, one per reader, begun together. A value found stays
// where it is, unchanged, as long as this snapshot or any later one that
// finds the same key at the same place is alive.
class RecordIndex::Snapshot {
  public:
    Snapshot(std::shared_ptr<Environment> environment, unsigned readers);
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // The stored value of key as the index holds it (checksum included), or
    // nullopt. Reader r must be used by one thread at a time. Throws
    // std::runtime_error when the index is damaged.
    std::optional<std::string_view> find(unsigned reader, std::string_view key) const;
    // What was stored under key when the part of value that the index
    // checks is intact, else nullopt. Reads every byte of that part.
    static std::optional<std::string_view> intact(std::string_view key, std::string_view value);
    // Whether bytes of a found value still have the checksum sum (see
    // checksum()); false too when reading them faults.
    static bool holds(std::string_view bytes, std::uint64_t sum);
    // Every key, through reader 0; and how many there are, without reading them.
    std::vector<std::string> keys() const;
    std::size_t size() const;

  private:
    std::shared_ptr<Environment> environment_;
    std::vector<void*> transactions_;
};

}  // namespace quillmere::mcp
