/* A recording notification server for the tests: owns
 * org.freedesktop.Notifications on the session bus ($DBUS_SESSION_BUS_ADDRESS)
 * and prints each call on standard output, one tab-separated line each, once
 * its answer is on its way (so a test that has seen the line may end it):
 *   ready <unique name>
 *   Notify <id> <replaces_id> <urgency> <app_name> <app_icon> <summary> <body>
 *   CloseNotification <id>
 * Ids count from 1; a replaced notification keeps its id, as servers do. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <systemd/sd-bus.h>

static uint32_t next_id = 1;

/* The "urgency" byte of the hints, -1 when absent. */
static int read_urgency(sd_bus_message *m) {
    int urgency = -1;
    const char *key = NULL;
    uint8_t value = 0;
    sd_bus_message_enter_container(m, 'a', "{sv}");
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        sd_bus_message_read(m, "s", &key);
        if (strcmp(key, "urgency") == 0 && sd_bus_message_read(m, "v", "y", &value) >= 0)
            urgency = value;
        else
            sd_bus_message_skip(m, "v");
        sd_bus_message_exit_container(m);
    }
    return urgency;
}

static int notify(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    const char *app = "", *icon = "", *summary = "", *body = "";
    uint32_t replaces = 0;
    sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
    sd_bus_message_skip(m, "as");
    const int urgency = read_urgency(m);
    const uint32_t id = replaces != 0 ? replaces : next_id++;
    /* Recorded before the reply: a caller that has its answer (and the test
       that waits for the caller) finds the record already in the pipe. */
    printf("Notify\t%u\t%u\t%d\t%s\t%s\t%s\t%s\n", id, replaces, urgency, app, icon, summary, body);
    fflush(stdout);
    const int r = sd_bus_reply_method_return(m, "u", id);
    sd_bus_flush(sd_bus_message_get_bus(m));
    return r;
}

static int close_notification(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    uint32_t id = 0;
    sd_bus_message_read(m, "u", &id);
    printf("CloseNotification\t%u\n", id);
    fflush(stdout);
    const int r = sd_bus_reply_method_return(m, "");
    sd_bus_flush(sd_bus_message_get_bus(m));
    return r;
}

/* Bodies are markup here, as in most servers. */
static int get_capabilities(sd_bus_message *m, void *userdata, sd_bus_error *error) {
    (void)userdata, (void)error;
    return sd_bus_reply_method_return(m, "as", 2, "body", "body-markup");
}

static const sd_bus_vtable vtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetCapabilities", "", "as", get_capabilities, 0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
    SD_BUS_METHOD("CloseNotification", "u", "", close_notification, 0),
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
    while ((r = sd_bus_process(bus, NULL)) >= 0)
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) break;
    return 0;
}
