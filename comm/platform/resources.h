// Named read-only resources: raw-data blobs linked into the program and found by name, the way
// the library finds its message tables. Every blob belongs to a module; a module handle stands
// for the program (kMainInstance) or for a set of localized resources installed ahead of it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kivo {

using HModule = uint32_t;

// The program's own module: the built-in resources live here.
constexpr HModule kMainInstance = 1;

// The bytes of a loaded resource. Holding them keeps them valid even if the resource is
// removed or replaced meanwhile.
using ResourceBytes = std::shared_ptr<const std::vector<uint8_t>>;

// Adds a raw-data resource to a module, or replaces one of the same name. The bytes are copied.
// Names compare without regard to ASCII case. Module 0 is not a module: the call is ignored.
void RegisterResource(HModule module, const std::string& name, std::span<const uint8_t> bytes);

// Removes a resource; false when the module had none of that name.
bool UnregisterResource(HModule module, const std::string& name);

// Installs a module of localized resources that is searched before the instance's own module;
// localized 0 removes it again.
void SetLocalizedModule(HModule instance, HModule localized);

// The module holding the named resource for an instance: its localized module first, then the
// instance's own module; 0 when neither has it.
HModule FindRawResource(HModule instance, const std::string& name);

// The bytes of the named resource of a module; null when the module does not hold it.
ResourceBytes LoadRawResource(HModule module, const std::string& name);

} // namespace kivo
