#include "comm/platform/resources.h"

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

// ASCII only: the locale's rules would make "strings" and "STRINGS" two names under a Turkish
// locale (whose upper-case i is not I), and a name registered before a program sets its locale
// (a window's toolkit does) could no longer be found after.
std::string FoldCase(const std::string& name) {
    std::string folded = name;
    for (char& c : folded) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
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
