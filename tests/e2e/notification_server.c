/* A recording notification server for the tests: owns
 * org.freedesktop.Notifications on the session bus ($DBUS_SESSION_BUS_ADDRESS),
 * answers as a desktop's server does, and prints each call on standard output,
 * one tab-separated line each, before it answers:
 *   ready <unique name>
 *   Notify <id> <replaces_id> <urgency> <app_name> <app_icon> <summary> <body>
 *   CloseNotification <id>
 * Ids count from 1; a replaces_id of an open notification keeps its id, as
 * servers do. A closed notification is announced with NotificationClosed. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <systemd/sd-bus.h>

#define MAX_OPEN 64

static uint32_t next_id = 1;
static uint32_t open_ids[MAX_OPEN];

static int is_open(uint32_t id) {
    for (int i = 0; id != 0 && i < MAX_OPEN; ++i)
        if (open_ids[i] == id) return 1;
    return 0;
}

static void set_open(uint32_t id, uint32_t value) {
    for (int i = 0; i < MAX_OPEN; ++i)
        if (open_ids[i] == id) {
            open_ids[i] = value;
            return;
        }
}

/* The "urgency" byte of the hints, -1 when absent. */
static int read_urgency(sd_bus_message *m) {
    int urgency = -1;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return -2;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char *key = NULL;
        uint8_t value = 0;
        sd_bus_message_read(m, "s", &key);
        if (strcmp(key, "urgency") == 0 && sd_bus_message_read(m, "v", "y", &value) >= 0)
            urgency = value;
        else
            sd_bus_message_skip(m, "v");
        sd_bus_message_exit_container(m);
    }
    sd_bus_message_exit_container(m);
    return urgency;
}

static int notify(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    const char *app = NULL, *icon = NULL, *summary = NULL, *body = NULL;
    uint32_t replaces = 0;
    int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    if (r < 0 || sd_bus_message_skip(m, "as") < 0) return r < 0 ? r : -EINVAL;
    const int urgency = read_urgency(m);
    uint32_t id = replaces;
    if (!is_open(replaces)) {
        id = next_id++;
        set_open(0, id);
    }
    printf("Notify\t%u\t%u\t%d\t%s\t%s\t%s\t%s\n", id, replaces, urgency, app, icon, summary, body);
    fflush(stdout);
    return sd_bus_reply_method_return(m, "u", id);
}

static int close_notification(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    uint32_t id = 0;
    int r = sd_bus_message_read(m, "u", &id);
    if (r < 0) return r;
    printf("CloseNotification\t%u\n", id);
    fflush(stdout);
    if (is_open(id)) {
        set_open(id, 0);
        sd_bus_emit_signal(sd_bus_message_get_bus(m), "/org/freedesktop/Notifications",
                           "org.freedesktop.Notifications", "NotificationClosed", "uu", id, 3u);
    }
    return sd_bus_reply_method_return(m, "");
}

static int capabilities(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    return sd_bus_reply_method_return(m, "as", 2, "body", "persistence");
}

static int information(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    return sd_bus_reply_method_return(m, "ssss", "kestro-test-recorder", "kestro", "1", "1.2");
}

static const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
    SD_BUS_METHOD("CloseNotification", "u", "", close_notification, 0),
    SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, 0),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", information, 0),
    SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
    SD_BUS_VTABLE_END,
};

int main(void) {
    sd_bus *bus = NULL;
    const char *unique = NULL;
    int r = sd_bus_open_user(&bus);
    if (r >= 0) r = sd_bus_add_object_vtable(bus, NULL, "/org/freedesktop/Notifications",
                                             "org.freedesktop.Notifications", vtable, NULL);
    if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.Notifications", 0);
    if (r >= 0) r = sd_bus_get_unique_name(bus, &unique);
    if (r < 0) {
        fprintf(stderr, "notification server: %s\n", strerror(-r));
        return 1;
    }
    printf("ready\t%s\n", unique);
    fflush(stdout);
    for (;;) {
        r = sd_bus_process(bus, NULL);
        if (r < 0) break;
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
