#pragma once

#include "core/proxy/proxy.h"

#include <QObject>
#include <QTimer>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tavrix {

// Registrations kept in a SQLite file (WAL mode), so that a restart finds them again. The
// changes of one turn of the event loop are gathered and written in one transaction when the
// loop next comes round (a zero-delay timer), never while a datagram is being handled.
class SqliteStore final : public QObject, public RegistrarStore
{
public:
    // Opens the file, creating it when it is not there. A file that is damaged or not a
    // database is renamed aside (FILE.corrupt-YYYYMMDD-HHMMSS) with one LOG_ERR line and a new
    // one is started; when no file can be used at all (none can be made, a folder, no
    // permission, held by another program), the LOG_ERR line says so and the registrations
    // live in memory only. Attaches itself to the proxy.
    SqliteStore(std::string path, Proxy& proxy, QObject* parent = nullptr);
    // Writes what is pending and detaches from the proxy.
    ~SqliteStore() override;

    void Save(const Binding& binding) override;
    void Remove(const Binding& binding) override;
    std::vector<Binding> LoadAll() override;

    // Writes the gathered changes now, in one transaction. A failed write keeps them and is
    // tried again a second later; the first failure of a run is logged, and the recovery.
    void flush();

private:
    // Opens m_path and reads every row into m_loaded; on failure error says why, and damaged
    // whether the file's content is to blame.
    bool open(std::string& error, bool& damaged);
    void close();
    bool write(const std::string& callId, const std::optional<Binding>& binding);

    std::string m_path;
    Proxy& m_proxy;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_upsert = nullptr;
    sqlite3_stmt* m_delete = nullptr;
    std::vector<Binding> m_loaded;
    // Call-ID -> the registration to write, or none to delete it.
    std::unordered_map<std::string, std::optional<Binding>> m_pending;
    QTimer m_flushTimer;
    bool m_failing = false;
};

} // namespace tavrix
