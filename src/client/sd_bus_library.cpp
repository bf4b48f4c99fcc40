#include "client/sd_bus_library.hpp"

#include <dlfcn.h>

namespace kestro {

namespace {

template <class Function>
[[nodiscard]] bool resolve(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

[[nodiscard]] std::expected<SdBus, std::string> load() {
    void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return std::unexpected(std::string(::dlerror()));
    }
    SdBus bus{};
    if (resolve(library, "sd_bus_open_user", bus.open_user) &&
        resolve(library, "sd_bus_flush_close_unref", bus.flush_close_unref) &&
        resolve(library, "sd_bus_add_match", bus.add_match) && resolve(library, "sd_bus_process", bus.process) &&
        resolve(library, "sd_bus_is_open", bus.is_open) && resolve(library, "sd_bus_get_fd", bus.get_fd) &&
        resolve(library, "sd_bus_get_events", bus.get_events) && resolve(library, "sd_bus_call", bus.call) &&
        resolve(library, "sd_bus_message_new_method_call", bus.message_new_method_call) &&
        resolve(library, "sd_bus_message_append", bus.message_append) &&
        resolve(library, "sd_bus_message_read", bus.message_read) &&
        resolve(library, "sd_bus_message_read_strv", bus.message_read_strv) &&
        resolve(library, "sd_bus_message_get_sender", bus.message_get_sender) &&
        resolve(library, "sd_bus_message_unref", bus.message_unref) &&
        resolve(library, "sd_bus_error_free", bus.error_free)) {
        return bus;
    }
    return std::unexpected(std::string(::dlerror()));
}

}  // namespace

std::expected<const SdBus*, std::string> load_sd_bus() {
    static const std::expected<SdBus, std::string> loaded = load();
    if (!loaded) {
        return std::unexpected(loaded.error());
    }
    return &*loaded;
}

}  // namespace kestro
