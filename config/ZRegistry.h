// Read access to the legacy per-user registry layout that older versions kept their settings
// in. Linux has no such registry: the production store holds no legacy keys, so the first
// start carries nothing over; tests fill an in-memory store to exercise the carry-over.
//
//   TMemoryRegistryStore Store;
//   Store.SetValue("Software\\Zephra Software\\QRT", "DefaultGroup", RegSz("Servers"));
//   TZRegistry Reg(Store);
//   if (Reg.OpenKey("Software\\Zephra Software\\QRT", false)) Group =
//   Reg.ReadString("DefaultGroup");
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

class ERegistryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Registry value types, numbered as on the platform that defined them.
enum : std::uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
};

struct TRegistryValue {
    std::uint32_t Type = REG_NONE;
    std::string Data; // raw bytes, string types including their terminating NUL
};

// The keys and values under the current user's root. Key paths use backslashes and match
// without regard to letter case, as value names do.
class TRegistryStore {
public:
    virtual ~TRegistryStore() = default;
    virtual bool KeyExists(const std::string& Key) const = 0;
    // Creates the key and its missing parents; false when that is not possible.
    virtual bool CreateKey(const std::string& Key) = 0;
    virtual std::vector<std::string> ValueNames(const std::string& Key) const = 0;
    virtual std::optional<TRegistryValue> Value(const std::string& Key,
                                                const std::string& Name) const = 0;
};

// Keys and values held in memory; what tests use to stand for an existing legacy layout.
class TMemoryRegistryStore : public TRegistryStore {
public:
    bool KeyExists(const std::string& Key) const override;
    bool CreateKey(const std::string& Key) override;
    std::vector<std::string> ValueNames(const std::string& Key) const override;
    std::optional<TRegistryValue> Value(const std::string& Key,
                                        const std::string& Name) const override;

    // Creates the key when needed.
    void SetValue(const std::string& Key, const std::string& Name, TRegistryValue Value);

private:
    struct TKey {
        std::vector<std::pair<std::string, TRegistryValue>> Values; // in insertion order
    };
    std::map<std::string, TKey> FKeys; // by folded path
};

// The store on Linux: there never was a legacy layout here. Keys the carry-over creates exist
// for the rest of the run and hold nothing.
class TLinuxRegistryStore : public TRegistryStore {
public:
    bool KeyExists(const std::string& Key) const override;
    bool CreateKey(const std::string& Key) override;
    std::vector<std::string> ValueNames(const std::string&) const override { return {}; }
    std::optional<TRegistryValue> Value(const std::string&, const std::string&) const override {
        return std::nullopt;
    }

private:
    std::set<std::string> FCreated;
};

// Helpers for building values.
TRegistryValue RegSz(const std::string& Text);
TRegistryValue RegDword(std::uint32_t Value);
TRegistryValue RegMultiSz(const std::vector<std::string>& Strings);

// The registry wrapper: one open key at a time under the current user's root.
class TRegistry {
public:
    explicit TRegistry(TRegistryStore& Store) : FStore(Store) {}
    virtual ~TRegistry() = default;

    // Opens the key, creating it (empty) when CanCreate is set and it is missing.
    bool OpenKey(const std::string& Key, bool CanCreate);
    bool OpenKeyReadOnly(const std::string& Key);
    void CloseKey();
    bool KeyExists(const std::string& Key) const { return FStore.KeyExists(Key); }

    bool ValueExists(const std::string& Name) const;
    std::vector<std::string> GetValueNames() const;
    // A missing value reads as empty; a value of another type raises "Invalid data type".
    std::string ReadString(const std::string& Name) const;
    std::int32_t ReadInteger(const std::string& Name) const;
    bool ReadBool(const std::string& Name) const { return ReadInteger(Name) != 0; }

protected:
    // Copies the value's data into a buffer of BufferSize bytes. Raises "Failed to get data"
    // when there is no such value or it does not fit, and "Invalid data type" when its type is
    // not Type.
    std::string GetData(const std::string& Name, std::size_t BufferSize, std::uint32_t Type) const;
    [[noreturn]] static void ReadError(const std::string& Name);
    [[noreturn]] static void TypeError(const std::string& Name);

private:
    TRegistryStore& FStore;
    std::optional<std::string> FCurrentKey;
};

class TZRegistry : public TRegistry {
public:
    using TRegistry::TRegistry;

    static constexpr std::size_t MultiStringBufferSize = 102400;

    // Reads a REG_MULTI_SZ value into List, one entry per string; true when read.
    bool ReadMultiString(const std::string& Name, std::vector<std::string>& List) const;
};
