#pragma once

#include "app/redis_link.h"

#include <QObject>

#include <memory>
#include <optional>
#include <string>

namespace tavrix {

class Proxy;

// Where registrations are kept beyond the program's memory.
struct StoreConfig
{
    std::string stateFile;                 // a SQLite file, kept across restarts
    std::optional<RedisAddress> registrar; // Redis, shared with other instances
};

// Opens the store the configuration names and attaches it to the proxy, which must outlive
// the object returned; nullptr when none is named (memory only).
std::unique_ptr<QObject> OpenStore(const StoreConfig& config, Proxy& proxy);

} // namespace tavrix
