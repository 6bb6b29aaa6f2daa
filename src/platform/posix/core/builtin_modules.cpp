// Registry of the layer's built-in system DLLs and their exports.
#include "core/builtin_modules.h"

#include <map>
#include <mutex>
#include <string>

namespace zrwin {

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, std::map<std::string, void*>> modules;
    std::map<std::string, BuiltinDetach> detaches;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // used from static initialisers; never destroyed
    return *registry;
}

}  // namespace

bool RegisterBuiltinModule(const char* dllBaseName, const BuiltinExport* exports, size_t count) {
    auto& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto& table = registry.modules[dllBaseName];
    for (size_t i = 0; i < count; ++i) table[exports[i].name] = exports[i].proc;
    return true;
}

bool IsBuiltinModule(const std::string& dllBaseName) {
    auto& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.modules.count(dllBaseName) != 0;
}

void* FindBuiltinExport(const std::string& dllBaseName, const std::string& exportName) {
    auto& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto module = registry.modules.find(dllBaseName);
    if (module == registry.modules.end()) return nullptr;
    auto entry = module->second.find(exportName);
    return entry == module->second.end() ? nullptr : entry->second;
}

bool RegisterBuiltinDetach(const char* dllBaseName, BuiltinDetach detach) {
    auto& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.detaches[dllBaseName] = detach;
    return true;
}

BuiltinDetach FindBuiltinDetach(const std::string& dllBaseName) {
    auto& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto found = registry.detaches.find(dllBaseName);
    return found == registry.detaches.end() ? nullptr : found->second;
}

}  // namespace zrwin
