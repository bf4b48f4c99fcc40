/*
 * Witness of the sensor library's lifetime, for the end-to-end tests.
 *
 * Preloaded into the daemon (through the sandbox's /etc/ld.so.preload), it
 * passes sensors_init and sensors_cleanup on to libsensors and reports each
 * call the program makes on standard error, in one write:
 * "sensors shim: sensors_init <result>" and "sensors shim: sensors_cleanup".
 * A failing sensors_init releases what it has built by calling
 * sensors_cleanup itself; that call is the library's, not the program's,
 * and is not reported.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static int inside_init;

static void report(const char *line) {
    ssize_t ignored = write(STDERR_FILENO, line, strlen(line));
    (void)ignored;
}

int sensors_init(FILE *input) {
    int (*real)(FILE *) = (int (*)(FILE *))dlsym(RTLD_NEXT, "sensors_init");
    inside_init = 1;
    const int result = real(input);
    inside_init = 0;
    char line[64];
    snprintf(line, sizeof line, "sensors shim: sensors_init %d\n", result);
    report(line);
    return result;
}

void sensors_cleanup(void) {
    void (*real)(void) = (void (*)(void))dlsym(RTLD_NEXT, "sensors_cleanup");
    if (!inside_init) {
        report("sensors shim: sensors_cleanup\n");
    }
    real();
}
