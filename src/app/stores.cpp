#include "app/stores.h"

#include "app/redis_store.h"
#include "app/sqlite_store.h"

namespace tavrix {

std::unique_ptr<QObject> OpenStore(const StoreConfig& config, Proxy& proxy)
{
    if (config.registrar) {
        return std::make_unique<RedisStore>(*config.registrar, proxy);
    }
    if (!config.stateFile.empty()) {
        return std::make_unique<SqliteStore>(config.stateFile, proxy);
    }
    return nullptr;
}

} // namespace tavrix
