#include "ZRegistry.h"

#include <algorithm>
#include <cstring>

namespace {

std::string FoldName(const std::string& Name) {
    std::string Result = Name;
    for (char& C : Result) {
        if (C >= 'A' && C <= 'Z') {
            C = static_cast<char>(C - 'A' + 'a');
        }
    }
    return Result;
}

std::string FoldKey(const std::string& Key) {
    std::string Result = FoldName(Key);
    while (!Result.empty() && Result.back() == '\\') {
        Result.pop_back();
    }
    while (!Result.empty() && Result.front() == '\\') {
        Result.erase(0, 1);
    }
    return Result;
}

} // namespace

bool TMemoryRegistryStore::KeyExists(const std::string& Key) const {
    return FKeys.count(FoldKey(Key)) != 0;
}

bool TMemoryRegistryStore::CreateKey(const std::string& Key) {
    const std::string Folded = FoldKey(Key);
    if (Folded.empty()) {
        return false;
    }
    for (std::size_t At = Folded.find('\\'); At != std::string::npos;
         At = Folded.find('\\', At + 1)) {
        FKeys.try_emplace(Folded.substr(0, At));
    }
    FKeys.try_emplace(Folded);
    return true;
}

std::vector<std::string> TMemoryRegistryStore::ValueNames(const std::string& Key) const {
    std::vector<std::string> Names;
    if (const auto Found = FKeys.find(FoldKey(Key)); Found != FKeys.end()) {
        for (const auto& [Name, Value] : Found->second.Values) {
            Names.push_back(Name);
        }
    }
    return Names;
}

std::optional<TRegistryValue> TMemoryRegistryStore::Value(const std::string& Key,
                                                          const std::string& Name) const {
    const auto Found = FKeys.find(FoldKey(Key));
    if (Found == FKeys.end()) {
        return std::nullopt;
    }
    const std::string Wanted = FoldName(Name);
    for (const auto& [ValueName, Value] : Found->second.Values) {
        if (FoldName(ValueName) == Wanted) {
            return Value;
        }
    }
    return std::nullopt;
}

void TMemoryRegistryStore::SetValue(const std::string& Key, const std::string& Name,
                                    TRegistryValue Value) {
    CreateKey(Key);
    auto& Values = FKeys[FoldKey(Key)].Values;
    const std::string Wanted = FoldName(Name);
    for (auto& [ValueName, Existing] : Values) {
        if (FoldName(ValueName) == Wanted) {
            Existing = std::move(Value);
            return;
        }
    }
    Values.emplace_back(Name, std::move(Value));
}

bool TLinuxRegistryStore::KeyExists(const std::string& Key) const {
    return FCreated.count(FoldKey(Key)) != 0;
}

bool TLinuxRegistryStore::CreateKey(const std::string& Key) {
    const std::string Folded = FoldKey(Key);
    if (Folded.empty()) {
        return false;
    }
    FCreated.insert(Folded);
    return true;
}

TRegistryValue RegSz(const std::string& Text) {
    return {REG_SZ, Text + '\0'};
}

TRegistryValue RegDword(std::uint32_t Value) {
    std::string Data(4, '\0');
    for (int I = 0; I < 4; ++I) {
        Data[static_cast<std::size_t>(I)] = static_cast<char>((Value >> (8 * I)) & 0xff);
    }
    return {REG_DWORD, Data};
}

TRegistryValue RegMultiSz(const std::vector<std::string>& Strings) {
    std::string Data;
    for (const std::string& S : Strings) {
        Data += S;
        Data += '\0';
    }
    Data += '\0';
    return {REG_MULTI_SZ, Data};
}

bool TRegistry::OpenKey(const std::string& Key, bool CanCreate) {
    CloseKey();
    if (!FStore.KeyExists(Key) && !(CanCreate && FStore.CreateKey(Key))) {
        return false;
    }
    FCurrentKey = Key;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& Key) {
    return OpenKey(Key, false);
}

void TRegistry::CloseKey() {
    FCurrentKey.reset();
}

bool TRegistry::ValueExists(const std::string& Name) const {
    return FCurrentKey && FStore.Value(*FCurrentKey, Name).has_value();
}

std::vector<std::string> TRegistry::GetValueNames() const {
    return FCurrentKey ? FStore.ValueNames(*FCurrentKey) : std::vector<std::string>{};
}

void TRegistry::ReadError(const std::string& Name) {
    throw ERegistryException("Failed to get data for '" + Name + "'");
}

void TRegistry::TypeError(const std::string& Name) {
    throw ERegistryException("Invalid data type for '" + Name + "'");
}

std::string TRegistry::GetData(const std::string& Name, std::size_t BufferSize,
                               std::uint32_t Type) const {
    const auto Value = FCurrentKey ? FStore.Value(*FCurrentKey, Name) : std::nullopt;
    if (!Value || Value->Data.size() > BufferSize) {
        ReadError(Name);
    }
    if (Value->Type != Type) {
        TypeError(Name);
    }
    return Value->Data;
}

std::string TRegistry::ReadString(const std::string& Name) const {
    const auto Value = FCurrentKey ? FStore.Value(*FCurrentKey, Name) : std::nullopt;
    if (!Value || Value->Data.empty()) {
        return {};
    }
    if (Value->Type != REG_SZ && Value->Type != REG_EXPAND_SZ) {
        TypeError(Name);
    }
    return Value->Data.substr(0, Value->Data.find('\0'));
}

std::int32_t TRegistry::ReadInteger(const std::string& Name) const {
    const std::string Data = GetData(Name, 4, REG_DWORD);
    std::uint32_t Value = 0;
    for (std::size_t I = 0; I < Data.size(); ++I) {
        Value |= static_cast<std::uint32_t>(static_cast<unsigned char>(Data[I])) << (8 * I);
    }
    return static_cast<std::int32_t>(Value);
}

bool TZRegistry::ReadMultiString(const std::string& Name, std::vector<std::string>& List) const {
    List.clear();
    const std::string Data = GetData(Name, MultiStringBufferSize, REG_MULTI_SZ);
    if (Data.size() <= 1) {
        return true;
    }
    std::string Current;
    for (std::size_t I = 0; I < Data.size(); ++I) {
        if (Data[I] != '\0') {
            Current += Data[I];
            continue;
        }
        List.push_back(std::move(Current));
        Current.clear();
        if (I + 1 < Data.size() && Data[I + 1] == '\0') {
            break;
        }
    }
    // Data that ends without a terminator still yields its last string: dropping it silently
    // would lose a target.
    if (!Current.empty()) {
        List.push_back(std::move(Current));
    }
    return true;
}
