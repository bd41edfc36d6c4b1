#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavrix {

// A registration as it outlives the process: who, where it is reached, until when.
struct Binding
{
    std::string CallID;   // the REGISTER's Call-ID: one registration of one phone
    std::string Username; // the user part of its From URI
    std::string Contact;  // its Contact URI, without brackets
    std::string IP;       // where the phone is reached
    std::uint16_t Port = 0;
    std::int64_t Expires = 0; // seconds since 1970 when it runs out
    std::int64_t Updated = 0; // seconds since 1970 when it was last registered

    bool operator==(const Binding&) const = default;
};

// Where registrations are kept beyond the tables in memory: a file, or a store several
// instances share. The proxy tells it every change and never waits for it; every look-up is
// answered from memory.
class RegistrarStore
{
public:
    virtual ~RegistrarStore() = default;
    // A registration was made or refreshed.
    virtual void Save(const Binding& binding) = 0;
    // A registration ended (run out, unregistered, its slot freed).
    virtual void Remove(const Binding& binding) = 0;
    // Every registration kept, for the start.
    virtual std::vector<Binding> LoadAll() = 0;
};

} // namespace tavrix
