#include "mcp_server/record_index.h"

#include <fcntl.h>
#include <lmdb.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace quillmere::mcp {

namespace fs = std::filesystem;

namespace {

// Far more than any library needs; the file only grows as far as it is used.
constexpr std::size_t mapSize = std::size_t{1} << 34;
// Values stored per transaction: LMDB keeps a transaction's pages in memory
// until it commits.
constexpr std::size_t bytesPerTransaction = 64 << 20;

[[noreturn]] void fail(const std::string& what, int code) {
    throw std::runtime_error(what + ": " + ::mdb_strerror(code));
}

void check(const std::string& what, int code) {
    if (code != MDB_SUCCESS) fail(what, code);
}

// The folder and its files must be this user's own and nobody else's, and
// no links: the index is read as trusted memory layout.
void checkOwnership(const fs::path& path, bool directory) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT && !directory) return;
        throw std::system_error(errno, std::generic_category(), path.string());
    }
    if (S_ISLNK(st.st_mode)) throw std::runtime_error(path.string() + " is a link");
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        throw std::runtime_error(path.string() + " is not a " + (directory ? "folder" : "file"));
    if (st.st_uid != ::geteuid()) throw std::runtime_error(path.string() + " belongs to another user");
    if (st.st_mode & 077) throw std::runtime_error(path.string() + " is open to other users");
}

// LMDB trusts the pages it reads; a damaged one can send it past the end of
// the file, which faults instead of failing. Reads of the mapping run under
// a guard that turns that fault into an error of the index.
thread_local sigjmp_buf* busGuard = nullptr;
struct sigaction previousBusAction {};

// A fault anywhere else is not ours: whatever handled it before does.
void onBusFault(int signal, siginfo_t*, void*) {
    if (busGuard) siglongjmp(*busGuard, 1);
    ::sigaction(signal, &previousBusAction, nullptr);
    ::raise(signal);
}

void installBusGuard() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = onBusFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &previousBusAction);
    });
}

// Runs read, which must hold nothing that needs destroying (C calls and
// plain values only), and throws when it faults on the mapping.
template <class Read>
void guarded(Read read) {
    sigjmp_buf here;
    if (sigsetjmp(here, 1) != 0) {
        busGuard = nullptr;
        throw std::runtime_error("the record index is damaged");
    }
    busGuard = &here;
    read();
    busGuard = nullptr;
}

MDB_val valueOf(std::string_view bytes) {
    return {bytes.size(), const_cast<char*>(bytes.data())};
}

}  // namespace

std::uint64_t RecordIndex::checksum(std::string_view key, std::string_view bytes) {
    return XXH3_64bits_withSeed(bytes.data(), bytes.size(), XXH3_64bits(key.data(), key.size()));
}

struct RecordIndex::Environment {
    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
    int fd = -1;

    ~Environment() {
        if (env) ::mdb_env_close(env);
    }
};

RecordIndex::RecordIndex(const fs::path& directory) : directory_(directory) {
    installBusGuard();
    fs::create_directories(directory.parent_path());
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        throw std::system_error(errno, std::generic_category(), directory.string());
    checkOwnership(directory, true);
    for (const char* name : {"data.mdb", "lock.mdb"}) checkOwnership(directory / name, false);

    auto environment = std::make_shared<Environment>();
    check("mdb_env_create", ::mdb_env_create(&environment->env));
    check("mdb_env_set_mapsize", ::mdb_env_set_mapsize(environment->env, mapSize));
    // Each server holds a read transaction per refresh thread, two refreshes'
    // worth at a time; LMDB's default of 126 would cap the servers at a dozen.
    check("mdb_env_set_maxreaders", ::mdb_env_set_maxreaders(environment->env, 1022));
    // Several read transactions per thread; a cache can lose its last
    // writes to a system crash (the checksums find torn values).
    check("opening " + directory.string(),
          ::mdb_env_open(environment->env, directory.c_str(), MDB_NOTLS | MDB_NOSYNC, 0600));
    int dead = 0;
    ::mdb_reader_check(environment->env, &dead);
    check("mdb_env_get_fd", ::mdb_env_get_fd(environment->env, &environment->fd));

    MDB_txn* txn = nullptr;
    check("reading " + directory.string(), ::mdb_txn_begin(environment->env, nullptr, MDB_RDONLY, &txn));
    const int opened = ::mdb_dbi_open(txn, nullptr, 0, &environment->dbi);
    ::mdb_txn_abort(txn);
    check("reading " + directory.string(), opened);

    environment_ = std::move(environment);
}

RecordIndex::~RecordIndex() = default;

std::shared_ptr<const RecordIndex::Snapshot> RecordIndex::snapshot(unsigned readers) const {
    return std::make_shared<const Snapshot>(environment_, readers);
}

void RecordIndex::write(const std::vector<Put>& puts, const std::vector<std::string>& removed) {
    MDB_env* env = environment_->env;
    MDB_txn* txn = nullptr;
    std::size_t pending = 0;
    auto commit = [&] {
        MDB_txn* done = std::exchange(txn, nullptr);
        check("writing " + directory_.string(), ::mdb_txn_commit(done));
        pending = 0;
    };
    try {
        auto begin = [&] {
            if (!txn) check("writing " + directory_.string(), ::mdb_txn_begin(env, nullptr, 0, &txn));
        };
        begin();
        for (const std::string& key : removed) {
            MDB_val k = valueOf(key);
            const int code = ::mdb_del(txn, environment_->dbi, &k, nullptr);
            if (code != MDB_SUCCESS && code != MDB_NOTFOUND) fail("writing " + directory_.string(), code);
        }
        for (const Put& put : puts) {
            begin();
            MDB_val k = valueOf(put.key);
            MDB_val existing;
            if (::mdb_get(txn, environment_->dbi, &k, &existing) == MDB_SUCCESS) continue;
            const Value value = put.value();
            // The checksum, how many bytes it covers, the bytes.
            const std::array<std::uint64_t, 2> head{
                checksum(put.key, std::string_view(value.bytes).substr(0, value.checked)),
                std::min(value.checked, value.bytes.size())};
            MDB_val v{sizeof head + value.bytes.size(), nullptr};
            check("writing " + directory_.string(),
                  ::mdb_put(txn, environment_->dbi, &k, &v, MDB_NOOVERWRITE | MDB_RESERVE));
            std::memcpy(v.mv_data, head.data(), sizeof head);
            std::memcpy(static_cast<char*>(v.mv_data) + sizeof head, value.bytes.data(), value.bytes.size());
            if ((pending += v.mv_size) >= bytesPerTransaction) commit();
        }
        if (txn) commit();
    } catch (...) {
        if (txn) ::mdb_txn_abort(txn);
        throw;
    }
}

RecordIndex::Snapshot::Snapshot(std::shared_ptr<Environment> environment, unsigned readers)
    : environment_(std::move(environment)) {
    // Pages past the end of the file would fault instead of failing: a
    // truncated file is refused before anything is looked up (and a damaged
    // page that leads past the end anyway is caught by the guard).
    MDB_envinfo info{};
    MDB_stat stat{};
    ::mdb_env_info(environment_->env, &info);
    ::mdb_env_stat(environment_->env, &stat);
    struct stat file {};
    if (::fstat(environment_->fd, &file) != 0)
        throw std::system_error(errno, std::generic_category(), "data.mdb");
    const auto used = static_cast<std::size_t>(info.me_last_pgno + 1) * stat.ms_psize;
    if (static_cast<std::size_t>(file.st_size) < used)
        throw std::runtime_error("the record index is truncated");
    for (unsigned r = 0; r < readers; ++r) {
        MDB_txn* txn = nullptr;
        if (const int code = ::mdb_txn_begin(environment_->env, nullptr, MDB_RDONLY, &txn)) {
            for (void* begun : transactions_) ::mdb_txn_abort(static_cast<MDB_txn*>(begun));
            fail("reading the record index", code);
        }
        transactions_.push_back(txn);
    }
}

RecordIndex::Snapshot::~Snapshot() {
    for (void* txn : transactions_) ::mdb_txn_abort(static_cast<MDB_txn*>(txn));
}

std::optional<std::string_view> RecordIndex::Snapshot::find(unsigned reader,
                                                            std::string_view key) const {
    MDB_val k = valueOf(key), v{};
    MDB_txn* txn = static_cast<MDB_txn*>(transactions_.at(reader));
    int code = MDB_SUCCESS;
    guarded([&] { code = ::mdb_get(txn, environment_->dbi, &k, &v); });
    if (code == MDB_NOTFOUND) return std::nullopt;
    check("reading the record index", code);
    return std::string_view(static_cast<const char*>(v.mv_data), v.mv_size);
}

std::optional<std::string_view> RecordIndex::Snapshot::intact(std::string_view key,
                                                              std::string_view value) {
    std::array<std::uint64_t, 2> head;
    if (value.size() < sizeof head) return std::nullopt;
    std::memcpy(head.data(), value.data(), sizeof head);
    const std::uint64_t sum = head[0], checked = head[1];
    const std::string_view bytes = value.substr(sizeof head);
    // A count past the end covers every byte, checked all the same.
    std::uint64_t computed = 0;
    guarded([&] { computed = checksum(key, bytes.substr(0, checked)); });
    if (computed != sum) return std::nullopt;
    return bytes;
}

bool RecordIndex::Snapshot::holds(std::string_view bytes, std::uint64_t sum) {
    std::uint64_t computed = 0;
    try {
        guarded([&] { computed = checksum({}, bytes); });
    } catch (const std::runtime_error&) {
        return false;
    }
    return computed == sum;
}

std::vector<std::string> RecordIndex::Snapshot::keys() const {
    std::vector<std::string> keys;
    MDB_cursor* cursor = nullptr;
    check("reading the record index",
          ::mdb_cursor_open(static_cast<MDB_txn*>(transactions_.at(0)), environment_->dbi, &cursor));
    MDB_val k{}, v{};
    int code = MDB_SUCCESS;
    try {
        for (;;) {
            guarded([&] { code = ::mdb_cursor_get(cursor, &k, &v, MDB_NEXT); });
            if (code != MDB_SUCCESS) break;
            keys.emplace_back(static_cast<const char*>(k.mv_data), k.mv_size);
        }
    } catch (...) {
        ::mdb_cursor_close(cursor);
        throw;
    }
    ::mdb_cursor_close(cursor);
    if (code != MDB_NOTFOUND) fail("reading the record index", code);
    return keys;
}

std::size_t RecordIndex::Snapshot::size() const {
    MDB_stat stat{};
    check("reading the record index",
          ::mdb_stat(static_cast<MDB_txn*>(transactions_.at(0)), environment_->dbi, &stat));
    return stat.ms_entries;
}

}  // namespace quillmere::mcp
