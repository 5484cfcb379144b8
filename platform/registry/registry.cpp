// The registry: keys and typed values in one SQLite store per device root,
// <root>/registry.db in WAL mode, shared by every process of the root.
//
// Keys form a tree of rows (id, parent, name); values hang off a key id. An
// HKEY is a handle to a small kernel object holding the key id, so a key
// deleted behind an open handle is noticed (ERROR_KEY_DELETED) instead of
// silently reaching whatever took its place: key ids are never reused.
//
// One connection per process, guarded by a mutex; every write is one
// BEGIN IMMEDIATE transaction that waits out other writers for the busy time
// (CE_REG_BUSY_MS, default 5000 real milliseconds) and otherwise fails with an
// error, never silently. Failures of the store map to:
//   ERROR_REGISTRY_IO_FAILED  the file cannot be opened, read or written, or
//                             stayed locked by another process past the busy time
//   ERROR_BADDB               the file is not our registry (corrupt, not SQLite,
//                             another program's database)
//   ERROR_OUTOFMEMORY         SQLite ran out of memory
// A committed write bumps a change counter and rewrites <root>/.registry-changes,
// which wakes the notification threads of every process (notify.cpp).
//
// A ce::RegistryTransaction makes many writes of one thread one transaction
// (a .reg import, a root's provisioning): it holds BEGIN IMMEDIATE from its
// start to its commit, each write inside is a savepoint, and the counter
// moves once, at the commit. The other threads of the process wait for its
// end in Session, so the one connection carries nothing but its writes.
#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "ce_platform.h"
#include "ce_trace.h"
#include "kobject.h"
#include "regext.h"
#include "registry_internal.h"

namespace ce::reg {

namespace {

// 'TREG': marks the file as this registry, so a foreign database is refused
// rather than written into.
constexpr int32_t kApplicationId = 0x54524547;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS reg_keys(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  parent INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  written INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX IF NOT EXISTS reg_keys_child ON reg_keys(parent, fold);
CREATE TABLE IF NOT EXISTS reg_values(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  key INTEGER NOT NULL,
  name BLOB NOT NULL,
  fold BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS reg_values_name ON reg_values(key, fold);
CREATE TABLE IF NOT EXISTS reg_meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
INSERT OR IGNORE INTO reg_meta VALUES('changes', 0);
-- The root keys: each its own parent slot, so the unique child index holds.
INSERT OR IGNORE INTO reg_keys(id, parent, name, fold) VALUES
  (1, -1, x'', x''), (2, -2, x'', x''), (3, -3, x'', x''), (4, -4, x'', x'');
PRAGMA application_id = 1414677831;
)sql";

// Statements, kept prepared for the life of the connection.
const char* const kFindChild = "SELECT id FROM reg_keys WHERE parent = ?1 AND fold = ?2";
const char* const kKeyExists = "SELECT 1 FROM reg_keys WHERE id = ?1";
const char* const kInsertKey = "INSERT INTO reg_keys(parent, name, fold, written) VALUES(?1, ?2, ?3, ?4)";
const char* const kTouchKey = "UPDATE reg_keys SET written = ?2 WHERE id = ?1";
const char* const kQueryValue =
    "SELECT v.type, v.data FROM reg_keys k LEFT JOIN reg_values v ON v.key = k.id AND v.fold = ?2 WHERE k.id = ?1";
const char* const kFindValue = "SELECT id FROM reg_values WHERE key = ?1 AND fold = ?2";
const char* const kUpdateValue = "UPDATE reg_values SET type = ?2, data = ?3 WHERE id = ?1";
const char* const kInsertValue = "INSERT INTO reg_values(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)";
const char* const kDeleteValue = "DELETE FROM reg_values WHERE key = ?1 AND fold = ?2";
const char* const kDeleteTreeValues =
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM reg_keys k JOIN sub ON k.parent = sub.id) "
    "DELETE FROM reg_values WHERE key IN sub";
const char* const kDeleteTreeKeys =
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT k.id FROM reg_keys k JOIN sub ON k.parent = sub.id) "
    "DELETE FROM reg_keys WHERE id IN sub";
const char* const kEnumKey = "SELECT name, written FROM reg_keys WHERE parent = ?1 ORDER BY id LIMIT 1 OFFSET ?2";
const char* const kEnumValue = "SELECT name, type, data FROM reg_values WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2";
const char* const kBumpChanges = "UPDATE reg_meta SET value = value + 1 WHERE name = 'changes' RETURNING value";

LONG map_sqlite(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE: return ERROR_SUCCESS;
        case SQLITE_NOMEM: return ERROR_OUTOFMEMORY;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_ERROR:  // a statement that does not fit the file's tables
        case SQLITE_SCHEMA:
        case SQLITE_MISMATCH:
        case SQLITE_CONSTRAINT: return ERROR_BADDB;
        case SQLITE_TOOBIG: return ERROR_INVALID_PARAMETER;
        default: return ERROR_REGISTRY_IO_FAILED;  // BUSY, LOCKED, IOERR, CANTOPEN, FULL, READONLY, PERM ...
    }
}

int busy_ms_setting() {
    const char* s = std::getenv("CE_REG_BUSY_MS");
    if (!s || !*s) return 5000;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || v < 0) return 5000;
    return static_cast<int>(std::min<long>(v, 600000));
}

int64_t now_filetime() {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                  .count();
    return ns / 100 + 116444736000000000LL;
}

const char kEmpty[1] = {0};

// A cached statement in use; resets itself when done.
class Stmt {
public:
    explicit Stmt(sqlite3_stmt* s) : s_(s) {}
    ~Stmt() {
        if (s_) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool ok() const { return s_ != nullptr; }
    void bind(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
    // A zero-length blob must still be a blob, not NULL. The bytes must
    // outlive step(): value data is bound in place, names are copied.
    void bind_blob(int i, const void* p, size_t n, sqlite3_destructor_type how = SQLITE_STATIC) {
        sqlite3_bind_blob64(s_, i, n ? p : kEmpty, n, n ? how : SQLITE_STATIC);
    }
    void bind_name(int i, const std::u16string& s) {
        bind_blob(i, s.data(), s.size() * sizeof(char16_t), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(s_); }
    int64_t col_int(int i) { return sqlite3_column_int64(s_, i); }
    bool col_null(int i) { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
    std::vector<BYTE> col_bytes(int i) {
        const void* p = sqlite3_column_blob(s_, i);
        int n = sqlite3_column_bytes(s_, i);
        if (!p || n <= 0) return {};
        auto b = static_cast<const BYTE*>(p);
        return std::vector<BYTE>(b, b + n);
    }
    std::u16string col_name(int i) {
        const void* p = sqlite3_column_blob(s_, i);
        int n = sqlite3_column_bytes(s_, i);
        std::u16string out;
        if (!p || n <= 0) return out;
        out.resize(static_cast<size_t>(n) / sizeof(char16_t));
        std::memcpy(out.data(), p, out.size() * sizeof(char16_t));
        return out;
    }

private:
    sqlite3_stmt* s_;
};

struct Conn {
    sqlite3* db = nullptr;
    std::string root;
    std::string path;
    dev_t dev = 0;  // the file the connection has open
    ino_t ino = 0;
    int busy_ms = -1;
    std::unordered_map<const char*, sqlite3_stmt*> stmts;
    LONG last_error = ERROR_SUCCESS;  // of the last failed prepare

    sqlite3_stmt* get(const char* sql) {
        auto it = stmts.find(sql);
        if (it != stmts.end()) return it->second;
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
        if (rc != SQLITE_OK) {
            last_error = map_sqlite(rc);
            return nullptr;
        }
        stmts.emplace(sql, s);
        return s;
    }

    void close() {
        for (auto& [sql, s] : stmts) sqlite3_finalize(s);
        stmts.clear();
        if (db) sqlite3_close_v2(db);
        db = nullptr;
    }

    void apply_busy_setting() {
        int ms = busy_ms_setting();
        if (ms != busy_ms) {
            busy_ms = ms;
            sqlite3_busy_timeout(db, ms);
        }
    }

    int exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
};

struct Store {
    std::mutex mutex;
    Conn* conn = nullptr;
    // The open transaction (ce::RegistryTransaction) of one thread: the
    // registry calls of other threads wait for its end, so that they neither
    // see its writes early nor have their own undone with it.
    std::condition_variable transaction_ended;
    int depth = 0;  // 0: none open
    std::thread::id owner;
    uint64_t generation = 0;      // tells a transaction object whether its transaction still exists
    bool changed = false;         // a write inside it changed something
    LONG failed = ERROR_SUCCESS;  // the first store failure inside it: only undoing remains
};

Store& store() {
    static Store* s = new Store;  // never destroyed: the notification thread may outlive main
    return *s;
}

// Connections a forked child must not touch again; kept reachable.
std::vector<Conn*>& abandoned() {
    static auto* v = new std::vector<Conn*>;
    return *v;
}

void before_fork() { store().mutex.lock(); }
void after_fork_parent() { store().mutex.unlock(); }
void after_fork_child() {
    // The parent's connection (and its locks, and its open transaction)
    // belong to the parent: the child opens its own on first use.
    Store& s = store();
    if (s.conn) abandoned().push_back(s.conn);
    s.conn = nullptr;
    s.depth = 0;
    s.generation++;
    s.mutex.unlock();
    notify_after_fork_child();
}

LONG open_conn(const std::string& root, Conn*& out) {
    static std::once_flag fork_once;
    std::call_once(fork_once, [] { pthread_atfork(before_fork, after_fork_parent, after_fork_child); });

    if (!make_root_folder(root)) return ERROR_REGISTRY_IO_FAILED;
    // The registry names the drivers a host loads: another user's root must
    // not decide them.
    if (!claim_root(root, nullptr)) return ERROR_ACCESS_DENIED;

    auto* c = new Conn;
    c->root = root;
    std::string path = root + "/registry.db";
    // The registry holds the user's settings: no one else reads it. SQLite
    // gives its journal files the database's mode.
    bool created = ::access(path.c_str(), F_OK) != 0;
    int rc = sqlite3_open_v2(path.c_str(), &c->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    auto fail = [&](LONG error) {
        c->close();
        delete c;
        return error;
    };
    if (rc != SQLITE_OK) return fail(map_sqlite(rc));
    if (created) ::chmod(path.c_str(), 0600);
    sqlite3_extended_result_codes(c->db, 1);
    c->apply_busy_setting();

    // Switching to WAL needs a moment alone with the file; the busy handler
    // waits for it, and a file that is not a database fails right here.
    sqlite3_stmt* s = nullptr;
    rc = sqlite3_prepare_v2(c->db, "PRAGMA journal_mode=WAL", -1, &s, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(s);
        if (rc == SQLITE_ROW) rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_OK) return fail(map_sqlite(rc));
    // Commits reach the WAL without an fsync each; RegFlushKey makes them durable.
    c->exec("PRAGMA synchronous=NORMAL");

    int32_t app_id = 0;
    int tables = 0;
    rc = sqlite3_prepare_v2(c->db, "PRAGMA application_id", -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        app_id = sqlite3_column_int(s, 0);
        rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_OK) return fail(map_sqlite(rc));
    if (app_id != 0 && app_id != kApplicationId) return fail(ERROR_BADDB);
    rc = sqlite3_prepare_v2(c->db,
                            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                            "('reg_keys', 'reg_values', 'reg_meta')",
                            -1, &s, nullptr);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        tables = sqlite3_column_int(s, 0);
        rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_OK) return fail(map_sqlite(rc));
    if (app_id == 0 && tables != 0) return fail(ERROR_BADDB);  // someone else's tables of these names

    if (tables != 3) {
        // First use of this root (or a crash halfway through the first use).
        rc = c->exec("BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) return fail(map_sqlite(rc));
        rc = c->exec(kSchema);
        if (rc != SQLITE_OK) {
            c->exec("ROLLBACK");
            return fail(map_sqlite(rc));
        }
        rc = c->exec("COMMIT");
        if (rc != SQLITE_OK) {
            c->exec("ROLLBACK");
            return fail(map_sqlite(rc));
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        c->dev = st.st_dev;
        c->ino = st.st_ino;
    }
    c->path = path;
    out = c;
    return ERROR_SUCCESS;
}

// Holds the store's lock with a connection open on the current root.
class Session {
public:
    Session() : lock_(store().mutex) {
        Store& s = store();
        auto me = std::this_thread::get_id();
        s.transaction_ended.wait(lock_, [&] { return s.depth == 0 || s.owner == me; });
        const std::string& root = ce::root();
        // A root switched (tests do), or a database file deleted or replaced
        // under us: writes to the old file would be lost without a word.
        struct stat st {};
        bool stale = s.conn && (s.conn->root != root || ::stat(s.conn->path.c_str(), &st) != 0 ||
                                st.st_ino != s.conn->ino || st.st_dev != s.conn->dev);
        if (stale && s.depth > 0) {
            // The open transaction lives on this connection: it can only be undone.
            error_ = ERROR_REGISTRY_IO_FAILED;
            if (s.failed == ERROR_SUCCESS) s.failed = error_;
            return;
        }
        if (stale) {
            s.conn->close();
            delete s.conn;
            s.conn = nullptr;
        }
        if (!s.conn) error_ = open_conn(root, s.conn);
        if (s.conn) s.conn->apply_busy_setting();
    }
    LONG error() const { return error_; }
    Conn& conn() { return *store().conn; }

private:
    std::unique_lock<std::mutex> lock_;
    LONG error_ = ERROR_SUCCESS;
};

#define CE_REG_STMT(var, conn, sql) \
    Stmt var((conn).get(sql));      \
    if (!var.ok()) return (conn).last_error

LONG key_exists(Conn& c, int64_t id, bool& exists) {
    CE_REG_STMT(s, c, kKeyExists);
    s.bind(1, id);
    int rc = s.step();
    if (rc == SQLITE_ROW) exists = true;
    else if (rc == SQLITE_DONE) exists = false;
    else return map_sqlite(rc);
    return ERROR_SUCCESS;
}

LONG require_key(Conn& c, int64_t id) {
    bool exists = false;
    LONG e = key_exists(c, id, exists);
    if (e != ERROR_SUCCESS) return e;
    return exists ? ERROR_SUCCESS : ERROR_KEY_DELETED;
}

LONG find_child(Conn& c, int64_t parent, const std::u16string& folded, int64_t& id, bool& found) {
    CE_REG_STMT(s, c, kFindChild);
    s.bind(1, parent);
    s.bind_name(2, folded);
    int rc = s.step();
    found = rc == SQLITE_ROW;
    if (found) id = s.col_int(0);
    else if (rc != SQLITE_DONE) return map_sqlite(rc);
    return ERROR_SUCCESS;
}

// Walks parts below base; found is false when a component is missing.
LONG walk(Conn& c, int64_t base, const std::vector<std::u16string>& parts, int64_t& id, bool& found) {
    id = base;
    found = true;
    for (const auto& p : parts) {
        int64_t next = 0;
        LONG e = find_child(c, id, fold(p), next, found);
        if (e != ERROR_SUCCESS) return e;
        if (!found) return ERROR_SUCCESS;
        id = next;
    }
    return ERROR_SUCCESS;
}

LONG touch_key(Conn& c, int64_t id) {
    CE_REG_STMT(s, c, kTouchKey);
    s.bind(1, id);
    s.bind(2, now_filetime());
    int rc = s.step();
    return rc == SQLITE_DONE ? ERROR_SUCCESS : map_sqlite(rc);
}

void publish_change(const std::string& root, int64_t counter) {
    int fd = ::open(changes_file(root).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;  // the write itself is committed; only the wake-up is lost
    ssize_t n = ::pwrite(fd, &counter, sizeof counter, 0);
    (void)n;
    ::close(fd);
}

// BEGIN IMMEDIATE. Another process holding the write lock is waited out by
// the busy handler; a busy start is retried until the busy time has passed.
LONG begin_write(Conn& c) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(c.busy_ms, 0));
    for (;;) {
        int rc = c.exec("BEGIN IMMEDIATE");
        if (rc == SQLITE_OK) return ERROR_SUCCESS;
        if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) return map_sqlite(rc);
        if (std::chrono::steady_clock::now() >= deadline) return ERROR_REGISTRY_IO_FAILED;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Moves the change counter and commits; then wakes the watchers of every
// process. Rolls back on failure.
LONG commit_write(Conn& c) {
    int64_t counter = 0;
    {
        Stmt s(c.get(kBumpChanges));
        if (!s.ok()) {
            c.exec("ROLLBACK");
            return c.last_error;
        }
        int rc = s.step();
        if (rc != SQLITE_ROW) {
            c.exec("ROLLBACK");
            return rc == SQLITE_DONE ? ERROR_BADDB : map_sqlite(rc);
        }
        counter = s.col_int(0);
    }
    int rc = c.exec("COMMIT");
    if (rc != SQLITE_OK) {
        c.exec("ROLLBACK");
        return map_sqlite(rc);
    }
    publish_change(c.root, counter);
    return ERROR_SUCCESS;
}

// Answers that are the registry's word on the caller's request; any other
// failure inside a transaction means the store let it down.
bool is_answer(LONG e) { return e == ERROR_FILE_NOT_FOUND || e == ERROR_KEY_DELETED; }

// One write inside the thread's open transaction: a savepoint, so that a
// write that fails with an answer leaves the others as they were. A store
// failure (a full disk, an I/O error) may have ended the whole transaction
// inside SQLite; from then on every write fails and only undoing remains.
template <class F>
LONG write_in_transaction(Store& s, Conn& c, F&& body) {
    if (s.failed != ERROR_SUCCESS) return s.failed;
    auto give_up = [&](LONG e) {
        s.failed = e;
        return e;
    };
    // Without a transaction open, the savepoint would start one of its own.
    if (sqlite3_get_autocommit(c.db)) return give_up(ERROR_REGISTRY_IO_FAILED);
    int rc = c.exec("SAVEPOINT one_write");
    if (rc != SQLITE_OK) return give_up(map_sqlite(rc));
    bool changed = false;
    LONG result = body(changed);
    if (result == ERROR_SUCCESS && changed) {
        rc = c.exec("RELEASE one_write");
        if (rc != SQLITE_OK) return give_up(map_sqlite(rc));
        s.changed = true;
        return ERROR_SUCCESS;
    }
    c.exec("ROLLBACK TO one_write");
    c.exec("RELEASE one_write");
    if (sqlite3_get_autocommit(c.db)) return give_up(result != ERROR_SUCCESS ? result : ERROR_REGISTRY_IO_FAILED);
    if (result != ERROR_SUCCESS && !is_answer(result)) return give_up(result);
    return result;
}

// Runs body inside BEGIN IMMEDIATE ... COMMIT, or inside the thread's open
// transaction. body returns a Win32 result and sets changed when it wrote
// something; then the change counter moves and watchers wake.
template <class F>
LONG write_txn(Conn& c, F&& body) {
    Store& s = store();
    if (s.depth > 0) return write_in_transaction(s, c, body);
    LONG e = begin_write(c);
    if (e != ERROR_SUCCESS) return e;
    bool changed = false;
    LONG result = body(changed);
    if (result != ERROR_SUCCESS || !changed) {
        c.exec("ROLLBACK");
        return result;
    }
    return commit_write(c);
}

size_t bounded_len(const WCHAR* s, size_t cap) {
    size_t n = 0;
    while (n <= cap && s[n]) n++;
    return n;  // cap + 1 when longer than cap
}

class RegKey : public KObject {
public:
    explicit RegKey(int64_t key_id) : id(key_id) {}
    const int64_t id;
};

LONG new_key_handle(int64_t id, PHKEY result) {
    *result = reinterpret_cast<HKEY>(handle_insert(std::make_shared<RegKey>(id)));
    return ERROR_SUCCESS;
}

bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Strings are kept terminated (a multi-string by two terminators), so a
// reader that trusts the terminator never runs past the data.
std::vector<BYTE> normalise_string(DWORD type, const BYTE* data, DWORD size) {
    std::vector<BYTE> out(data, data + size);
    if (size == 0) return out;
    if (out.size() % 2) out.push_back(0);
    auto last_is_nul = [&](size_t from_end) {
        if (out.size() < 2 * from_end) return false;
        size_t at = out.size() - 2 * from_end;
        return out[at] == 0 && out[at + 1] == 0;
    };
    if (!last_is_nul(1)) out.insert(out.end(), {0, 0});
    if (type == REG_MULTI_SZ && !last_is_nul(2)) out.insert(out.end(), {0, 0});
    return out;
}

}  // namespace

// ---- shared with notify.cpp --------------------------------------------------

std::u16string fold(std::u16string_view name) {
    std::u16string out(name);
    for (auto& ch : out) {
        if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
    }
    return out;
}

LONG key_id_of(HKEY key, int64_t& id) {
    if (key == HKEY_LOCAL_MACHINE) id = kRootLocalMachine;
    else if (key == HKEY_CURRENT_USER) id = kRootCurrentUser;
    else if (key == HKEY_CLASSES_ROOT) id = kRootClassesRoot;
    else if (key == HKEY_USERS) id = kRootUsers;
    else if (auto k = handle_get_as<RegKey>(reinterpret_cast<HANDLE>(key))) id = k->id;
    else return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LONG split_path(LPCWSTR sub_key, std::vector<std::u16string>& parts) {
    parts.clear();
    if (!sub_key) return ERROR_SUCCESS;
    // One more than the limit for the tolerated leading and trailing backslash.
    size_t len = bounded_len(sub_key, CE_REG_MAX_PATH + 2);
    std::u16string_view path(sub_key, len);
    if (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
    // One trailing backslash after a name; "\\" alone is an empty name.
    if (path.size() >= 2 && path.back() == u'\\' && path[path.size() - 2] != u'\\') path.remove_suffix(1);
    if (path.size() > CE_REG_MAX_PATH) return ERROR_INVALID_PARAMETER;
    if (path.empty()) return ERROR_SUCCESS;
    size_t start = 0;
    for (;;) {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
        if (part.empty() || part.size() > CE_REG_MAX_KEY_NAME) return ERROR_INVALID_PARAMETER;
        parts.emplace_back(part);
        if (end == std::u16string_view::npos) break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

LONG check_value_name(LPCWSTR name, std::u16string& out) {
    out.clear();
    if (!name) return ERROR_SUCCESS;
    size_t len = bounded_len(name, CE_REG_MAX_VALUE_NAME);
    if (len > CE_REG_MAX_VALUE_NAME) return ERROR_INVALID_PARAMETER;
    out.assign(name, len);
    return ERROR_SUCCESS;
}

LONG read_value(int64_t base_id, const std::vector<std::u16string>& parts, const std::u16string& name,
                ValueState& out) {
    out = ValueState{};
    Session session;
    if (session.error() != ERROR_SUCCESS) return session.error();
    Conn& c = session.conn();
    int64_t id = 0;
    bool found = false;
    LONG e = walk(c, base_id, parts, id, found);
    if (e != ERROR_SUCCESS || !found) return e;
    CE_REG_STMT(s, c, kQueryValue);
    s.bind(1, id);
    s.bind_name(2, fold(name));
    int rc = s.step();
    if (rc == SQLITE_DONE) return ERROR_SUCCESS;  // the base key is gone
    if (rc != SQLITE_ROW) return map_sqlite(rc);
    if (s.col_null(0)) return ERROR_SUCCESS;
    out.exists = true;
    out.type = static_cast<DWORD>(s.col_int(0));
    out.data = s.col_bytes(1);
    return ERROR_SUCCESS;
}

std::string current_root() { return ce::root(); }

std::string changes_file(const std::string& device_root) { return device_root + "/.registry-changes"; }

}  // namespace ce::reg

namespace ce {

using reg::Store;
using reg::store;

RegistryTransaction::RegistryTransaction() {
    reg::Session session;
    Store& s = store();
    if (s.depth > 0) {
        // The thread's own transaction is open: this one is part of it.
        s.depth++;
        generation_ = s.generation;
        nested_ = true;
        return;
    }
    if ((error_ = session.error()) != ERROR_SUCCESS) return;
    if ((error_ = reg::begin_write(session.conn())) != ERROR_SUCCESS) return;
    s.depth = 1;
    s.owner = std::this_thread::get_id();
    s.changed = false;
    s.failed = ERROR_SUCCESS;
    generation_ = ++s.generation;
}

LONG RegistryTransaction::finish(bool commit) {
    Store& s = store();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (error_ != ERROR_SUCCESS) return error_;
    if (done_) return ERROR_INVALID_PARAMETER;
    done_ = true;
    // Gone with a fork: the transaction was the parent's.
    if (s.depth == 0 || s.generation != generation_ || s.owner != std::this_thread::get_id())
        return ERROR_REGISTRY_IO_FAILED;
    if (nested_) {
        s.depth--;
        if (!commit && s.failed == ERROR_SUCCESS) s.failed = ERROR_OPERATION_ABORTED;
        return s.failed;
    }
    reg::Conn& c = *s.conn;
    LONG result = s.failed;
    if (!commit && result == ERROR_SUCCESS) result = ERROR_OPERATION_ABORTED;
    // The store may have ended it already after a failure of its own.
    if (result == ERROR_SUCCESS && sqlite3_get_autocommit(c.db)) result = ERROR_REGISTRY_IO_FAILED;
    if (result != ERROR_SUCCESS) {
        c.exec("ROLLBACK");
    } else if (!s.changed) {
        c.exec("ROLLBACK");  // nothing written: nobody need wake
    } else {
        result = reg::commit_write(c);
    }
    s.depth = 0;
    s.generation++;
    lock.unlock();
    s.transaction_ended.notify_all();
    return result;
}

RegistryTransaction::~RegistryTransaction() {
    if (!done_) finish(false);
}

LONG RegistryTransaction::commit() { return finish(true); }

}  // namespace ce

using namespace ce::reg;
using ce::trace::hex;

static LONG reg_open_key(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    int64_t base = 0;
    LONG e = key_id_of(key, base);
    if (e != ERROR_SUCCESS) return e;
    std::vector<std::u16string> parts;
    if ((e = split_path(subKey, parts)) != ERROR_SUCCESS) return e;
    int64_t id = 0;
    {
        Session session;
        if (session.error() != ERROR_SUCCESS) return session.error();
        Conn& c = session.conn();
        if ((e = require_key(c, base)) != ERROR_SUCCESS) return e;
        bool found = false;
        if ((e = walk(c, base, parts, id, found)) != ERROR_SUCCESS) return e;
        if (!found) return ERROR_FILE_NOT_FOUND;
    }
    return new_key_handle(id, result);
}

// RegOpenKeyExW -> walks the key rows by case-folded name; the result is a handle to the key id.
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    return CE_TRACE_LONG(reg, reg_open_key(key, subKey, options, desired, result), RegOpenKeyExW, key, subKey, options,
                         hex(desired));
}

static LONG reg_create_key(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM desired,
                           LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    int64_t base = 0;
    LONG e = key_id_of(key, base);
    if (e != ERROR_SUCCESS) return e;
    std::vector<std::u16string> parts;
    if ((e = split_path(subKey, parts)) != ERROR_SUCCESS) return e;
    int64_t id = 0;
    bool created = false;
    {
        Session session;
        if (session.error() != ERROR_SUCCESS) return session.error();
        Conn& c = session.conn();
        // Most creates find the key already there: no write lock for those.
        if ((e = require_key(c, base)) != ERROR_SUCCESS) return e;
        bool found = false;
        if ((e = walk(c, base, parts, id, found)) != ERROR_SUCCESS) return e;
        if (!found) {
            e = write_txn(c, [&](bool& changed) -> LONG {
                LONG r = require_key(c, base);
                if (r != ERROR_SUCCESS) return r;
                id = base;
                int64_t now = now_filetime();
                for (const auto& p : parts) {
                    std::u16string f = fold(p);
                    int64_t next = 0;
                    bool have = false;
                    if ((r = find_child(c, id, f, next, have)) != ERROR_SUCCESS) return r;
                    if (!have) {
                        CE_REG_STMT(s, c, kInsertKey);
                        s.bind(1, id);
                        s.bind_name(2, p);
                        s.bind_name(3, f);
                        s.bind(4, now);
                        int rc = s.step();
                        if (rc != SQLITE_DONE) return map_sqlite(rc);
                        next = sqlite3_last_insert_rowid(c.db);
                        changed = created = true;
                    }
                    id = next;
                }
                return ERROR_SUCCESS;
            });
            if (e != ERROR_SUCCESS) return e;
        }
    }
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return new_key_handle(id, result);
}

// RegCreateKeyExW -> opens the path, inserting the missing key rows in one write transaction.
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR className, DWORD options, REGSAM desired,
                     LPSECURITY_ATTRIBUTES attributes, PHKEY result, LPDWORD disposition) {
    return CE_TRACE_LONG(
        reg, reg_create_key(key, subKey, reserved, className, options, desired, attributes, result, disposition),
        RegCreateKeyExW, key, subKey, options, hex(desired));
}

static LONG reg_query_value(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    int64_t id = 0;
    LONG e = key_id_of(key, id);
    if (e != ERROR_SUCCESS) return e;
    std::u16string name;
    if ((e = check_value_name(valueName, name)) != ERROR_SUCCESS) return e;
    DWORD value_type = 0;
    std::vector<BYTE> bytes;
    {
        Session session;
        if (session.error() != ERROR_SUCCESS) return session.error();
        Conn& c = session.conn();
        CE_REG_STMT(s, c, kQueryValue);
        s.bind(1, id);
        s.bind_name(2, fold(name));
        int rc = s.step();
        if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
        if (rc != SQLITE_ROW) return map_sqlite(rc);
        if (s.col_null(0)) return ERROR_FILE_NOT_FOUND;
        value_type = static_cast<DWORD>(s.col_int(0));
        bytes = s.col_bytes(1);
    }
    if (type) *type = value_type;
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (data) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed) std::memcpy(data, bytes.data(), needed);
    }
    if (size) *size = needed;
    return ERROR_SUCCESS;
}

// RegQueryValueExW -> one SELECT of the value's type and bytes; nothing is written into a too-small buffer.
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
    return CE_TRACE_LONG(reg, reg_query_value(key, valueName, reserved, type, data, size), RegQueryValueExW, key,
                         valueName, size ? *size : 0);
}

static LONG reg_set_value(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    int64_t id = 0;
    LONG e = key_id_of(key, id);
    if (e != ERROR_SUCCESS) return e;
    std::u16string name;
    if ((e = check_value_name(valueName, name)) != ERROR_SUCCESS) return e;
    if (size > CE_REG_MAX_DATA || (!data && size)) return ERROR_INVALID_PARAMETER;
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && size != 4) return ERROR_INVALID_PARAMETER;
    if (type == REG_QWORD && size != 8) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes =
        is_string_type(type) ? normalise_string(type, data, size) : std::vector<BYTE>(data, data + size);
    std::u16string folded = fold(name);

    Session session;
    if (session.error() != ERROR_SUCCESS) return session.error();
    Conn& c = session.conn();
    return write_txn(c, [&](bool& changed) -> LONG {
        LONG r = require_key(c, id);
        if (r != ERROR_SUCCESS) return r;
        int64_t value_id = 0;
        bool have = false;
        {
            CE_REG_STMT(s, c, kFindValue);
            s.bind(1, id);
            s.bind_name(2, folded);
            int rc = s.step();
            if (rc == SQLITE_ROW) {
                have = true;
                value_id = s.col_int(0);
            } else if (rc != SQLITE_DONE) {
                return map_sqlite(rc);
            }
        }
        int rc;
        if (have) {
            // The name keeps the spelling it was first created with.
            CE_REG_STMT(s, c, kUpdateValue);
            s.bind(1, value_id);
            s.bind(2, type);
            s.bind_blob(3, bytes.data(), bytes.size());
            rc = s.step();
        } else {
            CE_REG_STMT(s, c, kInsertValue);
            s.bind(1, id);
            s.bind_name(2, name);
            s.bind_name(3, folded);
            s.bind(4, type);
            s.bind_blob(5, bytes.data(), bytes.size());
            rc = s.step();
        }
        if (rc != SQLITE_DONE) return map_sqlite(rc);
        changed = true;
        return touch_key(c, id);
    });
}

// RegSetValueExW -> UPDATE or INSERT of the value row in one write transaction; wakes the watchers.
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    return CE_TRACE_LONG(reg, reg_set_value(key, valueName, reserved, type, data, size), RegSetValueExW, key, valueName,
                         type, size);
}

static LONG reg_enum_key(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved, LPWSTR className,
                         LPDWORD classSize, PFILETIME lastWrite) {
    if (!name || !nameSize || reserved) return ERROR_INVALID_PARAMETER;
    int64_t id = 0;
    LONG e = key_id_of(key, id);
    if (e != ERROR_SUCCESS) return e;
    std::u16string child;
    int64_t written = 0;
    {
        Session session;
        if (session.error() != ERROR_SUCCESS) return session.error();
        Conn& c = session.conn();
        if ((e = require_key(c, id)) != ERROR_SUCCESS) return e;
        CE_REG_STMT(s, c, kEnumKey);
        s.bind(1, id);
        s.bind(2, index);
        int rc = s.step();
        if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
        if (rc != SQLITE_ROW) return map_sqlite(rc);
        child = s.col_name(0);
        written = s.col_int(1);
    }
    // Room for the name and its terminator, or nothing is written.
    if (*nameSize <= child.size()) return ERROR_MORE_DATA;
    std::memcpy(name, child.data(), child.size() * sizeof(WCHAR));
    name[child.size()] = 0;
    *nameSize = static_cast<DWORD>(child.size());
    // Keys have no class here: an empty one.
    if (className && classSize && *classSize > 0) className[0] = 0;
    if (classSize) *classSize = 0;
    if (lastWrite) {
        lastWrite->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(written));
        lastWrite->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(written) >> 32);
    }
    return ERROR_SUCCESS;
}

// RegEnumKeyExW -> the index-th child row in creation order; sizes in characters without the terminator.
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved, LPWSTR className,
                   LPDWORD classSize, PFILETIME lastWrite) {
    LONG e = reg_enum_key(key, index, name, nameSize, reserved, className, classSize, lastWrite);
    // The end of the list is how every enumeration ends: no failure.
    if (e != ERROR_SUCCESS && e != ERROR_NO_MORE_ITEMS) CE_TRACE_FAIL(reg, e, RegEnumKeyExW, key, index);
    return e;
}

static LONG reg_enum_value(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type,
                           LPBYTE data, LPDWORD size) {
    if (!name || !nameSize || reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
    int64_t id = 0;
    LONG e = key_id_of(key, id);
    if (e != ERROR_SUCCESS) return e;
    std::u16string value_name;
    DWORD value_type = 0;
    std::vector<BYTE> bytes;
    {
        Session session;
        if (session.error() != ERROR_SUCCESS) return session.error();
        Conn& c = session.conn();
        if ((e = require_key(c, id)) != ERROR_SUCCESS) return e;
        CE_REG_STMT(s, c, kEnumValue);
        s.bind(1, id);
        s.bind(2, index);
        int rc = s.step();
        if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
        if (rc != SQLITE_ROW) return map_sqlite(rc);
        value_name = s.col_name(0);
        value_type = static_cast<DWORD>(s.col_int(1));
        bytes = s.col_bytes(2);
    }
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (*nameSize <= value_name.size()) return ERROR_MORE_DATA;
    if (data && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    std::memcpy(name, value_name.data(), value_name.size() * sizeof(WCHAR));
    name[value_name.size()] = 0;
    *nameSize = static_cast<DWORD>(value_name.size());
    if (type) *type = value_type;
    if (data && needed) std::memcpy(data, bytes.data(), needed);
    if (size) *size = needed;
    return ERROR_SUCCESS;
}

// RegEnumValueW -> the index-th value row in creation order; name in characters, data in bytes.
LONG RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type, LPBYTE data,
                   LPDWORD size) {
    LONG e = reg_enum_value(key, index, name, nameSize, reserved, type, data, size);
    if (e != ERROR_SUCCESS && e != ERROR_NO_MORE_ITEMS) CE_TRACE_FAIL(reg, e, RegEnumValueW, key, index);
    return e;
}

static LONG reg_delete_key(HKEY key, LPCWSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    int64_t base = 0;
    LONG e = key_id_of(key, base);
    if (e != ERROR_SUCCESS) return e;
    std::vector<std::u16string> parts;
    if ((e = split_path(subKey, parts)) != ERROR_SUCCESS) return e;
    if (parts.empty() && base <= kRootUsers) return ERROR_ACCESS_DENIED;  // the root keys stay

    Session session;
    if (session.error() != ERROR_SUCCESS) return session.error();
    Conn& c = session.conn();
    return write_txn(c, [&](bool& changed) -> LONG {
        LONG r = require_key(c, base);
        if (r != ERROR_SUCCESS) return r;
        int64_t id = 0;
        bool found = false;
        if ((r = walk(c, base, parts, id, found)) != ERROR_SUCCESS) return r;
        if (!found) return ERROR_FILE_NOT_FOUND;
        for (const char* sql : {kDeleteTreeValues, kDeleteTreeKeys}) {
            CE_REG_STMT(s, c, sql);
            s.bind(1, id);
            int rc = s.step();
            if (rc != SQLITE_DONE) return map_sqlite(rc);
        }
        changed = true;
        return ERROR_SUCCESS;
    });
}

// RegDeleteKeyW -> deletes the key row, every row below it and their values in one write transaction.
LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
    return CE_TRACE_LONG(reg, reg_delete_key(key, subKey), RegDeleteKeyW, key, subKey);
}

static LONG reg_delete_value(HKEY key, LPCWSTR valueName) {
    int64_t id = 0;
    LONG e = key_id_of(key, id);
    if (e != ERROR_SUCCESS) return e;
    std::u16string name;
    if ((e = check_value_name(valueName, name)) != ERROR_SUCCESS) return e;
    std::u16string folded = fold(name);

    Session session;
    if (session.error() != ERROR_SUCCESS) return session.error();
    Conn& c = session.conn();
    return write_txn(c, [&](bool& changed) -> LONG {
        LONG r = require_key(c, id);
        if (r != ERROR_SUCCESS) return r;
        {
            CE_REG_STMT(s, c, kDeleteValue);
            s.bind(1, id);
            s.bind_name(2, folded);
            int rc = s.step();
            if (rc != SQLITE_DONE) return map_sqlite(rc);
        }
        if (sqlite3_changes(c.db) == 0) return ERROR_FILE_NOT_FOUND;
        changed = true;
        return touch_key(c, id);
    });
}

// RegDeleteValueW -> DELETE of the value row in one write transaction; wakes the watchers.
LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) {
    return CE_TRACE_LONG(reg, reg_delete_value(key, valueName), RegDeleteValueW, key, valueName);
}

static LONG reg_close_key(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CURRENT_USER || key == HKEY_CLASSES_ROOT || key == HKEY_USERS)
        return ERROR_SUCCESS;
    HANDLE h = reinterpret_cast<HANDLE>(key);
    if (!ce::handle_get_as<RegKey>(h)) return ERROR_INVALID_HANDLE;  // never closes another kind of handle
    return CloseHandle(h) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// RegCloseKey -> CloseHandle of the key object; the predefined root keys need no closing.
LONG RegCloseKey(HKEY key) { return CE_TRACE_LONG(reg, reg_close_key(key), RegCloseKey, key); }

static LONG reg_flush_key(HKEY key) {
    int64_t id = 0;
    LONG e = key_id_of(key, id);
    if (e != ERROR_SUCCESS) return e;
    Session session;
    if (session.error() != ERROR_SUCCESS) return session.error();
    Conn& c = session.conn();
    if ((e = require_key(c, id)) != ERROR_SUCCESS) return e;
    int rc = sqlite3_wal_checkpoint_v2(c.db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    return (rc == SQLITE_OK || (rc & 0xff) == SQLITE_BUSY) ? ERROR_SUCCESS : map_sqlite(rc);
}

// RegFlushKey -> a WAL checkpoint, which syncs every committed write to disk.
LONG RegFlushKey(HKEY key) { return CE_TRACE_LONG(reg, reg_flush_key(key), RegFlushKey, key); }

// ---- the state-and-notifications broker's value helpers -----------------------

static HRESULT registry_get_dword(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD* data) {
    if (!data) return E_INVALIDARG;
    HKEY key = nullptr;
    LONG e = RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE, &key);
    if (e != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    DWORD type = 0, value = 0, size = sizeof value;
    e = RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    if (e == ERROR_MORE_DATA) e = ERROR_INVALID_DATA;
    if (e == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof value)) e = ERROR_INVALID_DATA;
    if (e != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    *data = value;
    return S_OK;
}

// RegistryGetDWORD -> RegOpenKeyExW + RegQueryValueExW of a 4-byte REG_DWORD.
HRESULT RegistryGetDWORD(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD* data) {
    return CE_TRACE_LONG(reg, registry_get_dword(root, subKey, valueName, data), RegistryGetDWORD, root, subKey,
                         valueName);
}

static HRESULT registry_set_dword(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD data) {
    HKEY key = nullptr;
    LONG e = RegCreateKeyExW(root, subKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (e != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    e = RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
    RegCloseKey(key);
    return e == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(e);
}

// RegistrySetDWORD -> RegCreateKeyExW + RegSetValueExW of a REG_DWORD (the key is created when missing).
HRESULT RegistrySetDWORD(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD data) {
    return CE_TRACE_LONG(reg, registry_set_dword(root, subKey, valueName, data), RegistrySetDWORD, root, subKey,
                         valueName);
}

static HRESULT registry_get_string(HKEY root, LPCWSTR subKey, LPCWSTR valueName, LPWSTR data, UINT chars) {
    if (!data || chars == 0) return E_INVALIDARG;
    HKEY key = nullptr;
    LONG e = RegOpenKeyExW(root, subKey, 0, KEY_QUERY_VALUE, &key);
    if (e != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    DWORD type = 0, size = 0;
    std::vector<BYTE> bytes;
    // The value may grow between the size query and the read: ask again then.
    for (int attempt = 0; attempt < 4; attempt++) {
        e = RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size);
        if (e != ERROR_SUCCESS) break;
        bytes.resize(size);
        e = RegQueryValueExW(key, valueName, nullptr, &type, bytes.data(), &size);
        if (e != ERROR_MORE_DATA) break;
    }
    RegCloseKey(key);
    if (e == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) e = ERROR_INVALID_DATA;
    if (e != ERROR_SUCCESS) return HRESULT_FROM_WIN32(e);
    size_t units = std::min<size_t>(size, bytes.size()) / sizeof(WCHAR);
    size_t len = 0;
    while (len < units && (bytes[2 * len] | bytes[2 * len + 1])) len++;
    if (len + 1 > chars) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    if (len) std::memcpy(data, bytes.data(), len * sizeof(WCHAR));
    data[len] = 0;
    return S_OK;
}

// RegistryGetString -> RegOpenKeyExW + RegQueryValueExW of a REG_SZ, always terminated in the caller's buffer.
HRESULT RegistryGetString(HKEY root, LPCWSTR subKey, LPCWSTR valueName, LPWSTR data, UINT chars) {
    return CE_TRACE_LONG(reg, registry_get_string(root, subKey, valueName, data, chars), RegistryGetString, root,
                         subKey, valueName, chars);
}
