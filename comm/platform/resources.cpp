#include "comm/platform/resources.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <utility>

namespace kivo {

namespace {

using ResourceKey = std::pair<HModule, std::string>;

struct ResourceRegistry {
    std::mutex lock;
    std::map<ResourceKey, ResourceBytes> resources;
    std::map<HModule, HModule> localized;
};

ResourceRegistry& Registry() {
    static ResourceRegistry registry;
    return registry;
}

std::string FoldCase(const std::string& name) {
    std::string folded = name;
    std::transform(folded.begin(), folded.end(), folded.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return folded;
}

bool Holds(const ResourceRegistry& registry, HModule module, const std::string& foldedName) {
    return module != 0 && registry.resources.count({module, foldedName}) != 0;
}

} // namespace

void RegisterResource(HModule module, const std::string& name, std::span<const uint8_t> bytes) {
    if (module == 0) {
        return;
    }
    auto copy = std::make_shared<const std::vector<uint8_t>>(bytes.begin(), bytes.end());
    ResourceRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    registry.resources[{module, FoldCase(name)}] = std::move(copy);
}

bool UnregisterResource(HModule module, const std::string& name) {
    ResourceRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    return registry.resources.erase({module, FoldCase(name)}) != 0;
}

void SetLocalizedModule(HModule instance, HModule localized) {
    ResourceRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    if (localized == 0) {
        registry.localized.erase(instance);
    } else {
        registry.localized[instance] = localized;
    }
}

HModule FindRawResource(HModule instance, const std::string& name) {
    const std::string folded = FoldCase(name);
    ResourceRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    auto localized = registry.localized.find(instance);
    if (localized != registry.localized.end() && Holds(registry, localized->second, folded)) {
        return localized->second;
    }
    return Holds(registry, instance, folded) ? instance : 0;
}

ResourceBytes LoadRawResource(HModule module, const std::string& name) {
    ResourceRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    auto found = registry.resources.find({module, FoldCase(name)});
    return found == registry.resources.end() ? nullptr : found->second;
}

} // namespace kivo
