// Builds STR0 blobs for the tests and registers them as resources for as long as they live.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "comm/errors/tablegen/str0_source.h"
#include "comm/platform/resources.h"

namespace kivo::test {

inline std::vector<uint8_t> Str0Blob(std::vector<std::pair<int32_t, std::u16string>> texts) {
    std::vector<tablegen::TextEntry> entries;
    for (auto& [id, text] : texts) {
        entries.push_back({id, std::move(text), "test"});
    }
    return tablegen::BuildStr0(std::move(entries));
}

class ScopedResource {
public:
    ScopedResource(HModule module, std::string name, const std::vector<uint8_t>& bytes)
        : module_(module), name_(std::move(name)) {
        RegisterResource(module_, name_, bytes);
    }
    ~ScopedResource() { UnregisterResource(module_, name_); }
    ScopedResource(const ScopedResource&) = delete;
    ScopedResource& operator=(const ScopedResource&) = delete;

private:
    HModule module_;
    std::string name_;
};

} // namespace kivo::test
