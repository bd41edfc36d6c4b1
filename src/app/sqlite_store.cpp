#include "app/sqlite_store.h"

#include <QDateTime>
#include <QFile>

#include <sqlite3.h>

namespace tavrix {

namespace {

// synchronous=NORMAL: in WAL mode a commit reaches the file system without waiting for the
// disk; a crash of the program loses nothing written, a power cut the last moments.
constexpr const char* kSchema =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS bindings (call_id TEXT PRIMARY KEY, username TEXT NOT NULL,"
    " contact TEXT NOT NULL, ip TEXT NOT NULL, port INTEGER NOT NULL,"
    " expires INTEGER NOT NULL, updated INTEGER NOT NULL)";
constexpr int kRetryMs = 1000;

std::string Column(sqlite3_stmt* row, int column)
{
    const auto* text = sqlite3_column_text(row, column);
    return text == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(row, column)));
}

void Bind(sqlite3_stmt* statement, int index, const std::string& text)
{
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

} // namespace

SqliteStore::SqliteStore(std::string path, Proxy& proxy, QObject* parent)
    : QObject(parent), m_path(std::move(path)), m_proxy(proxy), m_flushTimer(this)
{
    // Found by its name, so that a test can see the retry planned without waiting for it.
    m_flushTimer.setObjectName(QStringLiteral("flushTimer"));
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &SqliteStore::flush);
    std::string error;
    bool damaged = false;
    if (!open(error, damaged)) {
        close();
        const QString file = QFile::decodeName(m_path.c_str());
        const QString aside = file + QDateTime::currentDateTime().toString(
                                         QStringLiteral(".'corrupt'-yyyyMMdd-HHmmss"));
        // Only a file whose content is bad is set aside: one that cannot be opened or written
        // (a folder, no permission, a full disk, held by another program) is left as it is.
        if (!damaged || !QFile::rename(file, aside)) {
            m_proxy.Log().WriteLog(Level::Err, "Cannot keep registrations in '", m_path,
                                   "': ", error, "; they live in memory only");
        } else {
            // A write-ahead log left beside it belongs to the old file, not to a new one.
            QFile::rename(file + "-wal", aside + "-wal");
            QFile::remove(file + "-shm");
            std::string again;
            bool ignored = false;
            const bool fresh = open(again, ignored);
            if (!fresh) {
                close();
            }
            m_proxy.Log().WriteLog(
                Level::Err, "Registration file '", m_path, "' unreadable (", error,
                "), set aside as '", QFile::encodeName(aside).toStdString(),
                fresh ? std::string("'; starting empty")
                      : "'; no new file: " + again + "; registrations live in memory only");
        }
    }
    if (m_db != nullptr) {
        m_proxy.AttachStore(this);
    }
}

SqliteStore::~SqliteStore()
{
    m_proxy.AttachStore(nullptr);
    flush();
    close();
}

bool SqliteStore::open(std::string& error, bool& damaged)
{
    // A damage report of the check, or SQLite's own reason.
    const auto failed = [this, &error, &damaged](const std::string& report = {}) {
        const int code = sqlite3_errcode(m_db);
        damaged = !report.empty() || code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
        error = report.empty() ? sqlite3_errmsg(m_db) : report;
        return false;
    };
    if (sqlite3_open_v2(m_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK ||
        sqlite3_exec(m_db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
        return failed();
    }
    // Damage deeper in the file than its header shows here, not at the first write.
    std::string check;
    sqlite3_exec(
        m_db, "PRAGMA quick_check",
        [](void* out, int, char** values, char**) {
            *static_cast<std::string*>(out) = values[0] ? values[0] : "";
            return 1; // the first row says it all
        },
        &check, nullptr);
    if (check != "ok") {
        return failed(check);
    }
    sqlite3_stmt* rows = nullptr;
    if (sqlite3_prepare_v2(m_db,
                           "SELECT call_id, username, contact, ip, port, expires, updated FROM "
                           "bindings",
                           -1, &rows, nullptr) != SQLITE_OK) {
        return failed();
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(rows)) == SQLITE_ROW) {
        m_loaded.push_back({Column(rows, 0), Column(rows, 1), Column(rows, 2), Column(rows, 3),
                            static_cast<std::uint16_t>(sqlite3_column_int(rows, 4)),
                            sqlite3_column_int64(rows, 5), sqlite3_column_int64(rows, 6)});
    }
    sqlite3_finalize(rows);
    if (step != SQLITE_DONE ||
        sqlite3_prepare_v2(m_db,
                           "INSERT OR REPLACE INTO bindings VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                           -1, &m_upsert, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(m_db, "DELETE FROM bindings WHERE call_id = ?1", -1, &m_delete,
                           nullptr) != SQLITE_OK) {
        m_loaded.clear();
        return failed();
    }
    return true;
}

void SqliteStore::close()
{
    sqlite3_finalize(m_upsert);
    sqlite3_finalize(m_delete);
    sqlite3_close(m_db);
    m_upsert = m_delete = nullptr;
    m_db = nullptr;
}

std::vector<Binding> SqliteStore::LoadAll()
{
    return std::move(m_loaded);
}

void SqliteStore::Save(const Binding& binding)
{
    m_pending[binding.CallID] = binding;
    if (!m_flushTimer.isActive()) {
        m_flushTimer.start(0);
    }
}

void SqliteStore::Remove(const Binding& binding)
{
    m_pending[binding.CallID] = std::nullopt;
    if (!m_flushTimer.isActive()) {
        m_flushTimer.start(0);
    }
}

bool SqliteStore::write(const std::string& callId, const std::optional<Binding>& binding)
{
    sqlite3_stmt* statement = binding ? m_upsert : m_delete;
    sqlite3_reset(statement);
    Bind(statement, 1, callId);
    if (binding) {
        Bind(statement, 2, binding->Username);
        Bind(statement, 3, binding->Contact);
        Bind(statement, 4, binding->IP);
        sqlite3_bind_int(statement, 5, binding->Port);
        sqlite3_bind_int64(statement, 6, binding->Expires);
        sqlite3_bind_int64(statement, 7, binding->Updated);
    }
    return sqlite3_step(statement) == SQLITE_DONE;
}

void SqliteStore::flush()
{
    if (m_db == nullptr) {
        m_pending.clear();
        return;
    }
    if (m_pending.empty()) {
        return;
    }
    bool written = sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (auto it = m_pending.begin(); written && it != m_pending.end(); ++it) {
        written = write(it->first, it->second);
    }
    if (!written || sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        const std::string reason = sqlite3_errmsg(m_db);
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        if (!m_failing) {
            m_proxy.Log().WriteLog(Level::Err, "Cannot write registrations to '", m_path,
                                   "': ", reason, "; trying again every second");
        }
        m_failing = true;
        m_flushTimer.start(kRetryMs);
        return;
    }
    if (m_failing) {
        m_proxy.Log().WriteLog(Level::Info, "Registrations written to '", m_path, "' again");
        m_failing = false;
    }
    m_pending.clear();
}

} // namespace tavrix
