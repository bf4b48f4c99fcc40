// libsystemd's sd-bus, loaded at run time by the one mode that uses it.
// Linked, it would be loaded by every call of kestro-status, with the six
// libraries it needs in turn: a bar that calls kestro-status every few
// seconds would pay about a millisecond more per call for notifications it
// does not send. The package depends on libsystemd0 all the same.
#pragma once

#include <expected>
#include <string>
#include <systemd/sd-bus.h>

namespace kestro {

// The functions of sd-bus that the notifier calls, with their own types.
struct SdBus {
    decltype(&sd_bus_open_user) open_user;
    decltype(&sd_bus_flush_close_unref) flush_close_unref;
    decltype(&sd_bus_add_match) add_match;
    decltype(&sd_bus_process) process;
    decltype(&sd_bus_is_open) is_open;
    decltype(&sd_bus_get_fd) get_fd;
    decltype(&sd_bus_get_events) get_events;
    decltype(&sd_bus_call) call;
    decltype(&sd_bus_message_new_method_call) message_new_method_call;
    decltype(&sd_bus_message_append) message_append;
    decltype(&sd_bus_message_read) message_read;
    decltype(&sd_bus_message_read_strv) message_read_strv;
    decltype(&sd_bus_message_get_sender) message_get_sender;
    decltype(&sd_bus_message_unref) message_unref;
    decltype(&sd_bus_error_free) error_free;
};

// Loads libsystemd.so.0 the first time (it stays loaded) and returns its
// functions. Fails with the loader's message when the library or one of the
// functions is missing.
[[nodiscard]] std::expected<const SdBus*, std::string> load_sd_bus();

}  // namespace kestro
