/*
 * A reader of the status directory under load: reads the five status files
 * over and over, each opened, read to its end and closed, as fast as it can,
 * until it has made the number of reads asked for, and checks every read.
 *
 *     kestro_e2e_status_reader <directory> <reads>
 *
 * It prints "ready" once one round has found every file (reads count from
 * then on), a line "bad <name> <content as a C string>" for each of the
 * first ten bad reads, and at the end one line of counts:
 *
 *     reads=<n> rounds=<n> empty=<n> missing=<n> malformed=<n> changes=<n>
 *
 * A read
 * is empty when the file has no byte, missing when it cannot be opened
 * (ENOENT), and malformed when its content is not one value in the daemon's
 * form followed by one newline: a status word, or a number with no exponent,
 * no leading "+", no trailing zero after a decimal point, "inf" or "NaN".
 * `changes` counts the reads whose content differed from the previous read
 * of the same file, which shows that the values moved meanwhile.
 *
 * Exit status 0 when every read was good, 1 otherwise, 2 on a usage error.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define FILE_COUNT 5
#define CONTENT_MAX 128
#define BAD_SHOWN 10

static const char *const names[FILE_COUNT] = {
    "ac_status", "battery_percent", "battery_status", "secs_until_battery_full", "secs_until_shutdown_request",
};
static const int is_number[FILE_COUNT] = {0, 1, 0, 1, 1};
static const char *const adapter_words[] = {"Connected", "Connected slow", "Disconnected", NULL};
static const char *const battery_words[] = {"Charging", "Discharging", "Full", "Not charging", "Unknown", NULL};

static int is_digit(char c) { return c >= '0' && c <= '9'; }

/* A number as format_shortest writes it, without its newline. */
static int number_form(const char *text, size_t length) {
    size_t i = 0;
    if (i < length && text[i] == '-') {
        ++i;
    }
    if (length - i == 3 && (memcmp(text + i, "inf", 3) == 0 || memcmp(text + i, "NaN", 3) == 0)) {
        return 1;
    }
    const size_t whole = i;
    while (i < length && is_digit(text[i])) {
        ++i;
    }
    if (i == whole || (i - whole > 1 && text[whole] == '0')) {
        return 0; /* no digit, or a leading zero */
    }
    if (i == length) {
        return 1;
    }
    if (text[i] != '.') {
        return 0;
    }
    const size_t fraction = ++i;
    while (i < length && is_digit(text[i])) {
        ++i;
    }
    return i == length && i > fraction && text[i - 1] != '0';
}

static int word_form(const char *text, size_t length, const char *const *words) {
    for (; *words != NULL; ++words) {
        if (strlen(*words) == length && memcmp(text, *words, length) == 0) {
            return 1;
        }
    }
    return 0;
}

static int well_formed(int file, const char *content, size_t length) {
    if (length < 2 || content[length - 1] != '\n' || memchr(content, '\n', length - 1) != NULL) {
        return 0;
    }
    --length;
    if (is_number[file]) {
        return number_form(content, length);
    }
    return word_form(content, length, file == 0 ? adapter_words : battery_words);
}

/* Reads the whole file: its length, -1 when it cannot be opened (errno),
 * CONTENT_MAX when it is too long to be a status file. */
static long read_whole(const char *path, char *content) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t length = 0;
    for (;;) {
        const ssize_t got = read(fd, content + length, CONTENT_MAX - length);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            perror("status reader: read");
            exit(2);
        }
        if (got == 0 || (length += (size_t)got) == CONTENT_MAX) {
            break;
        }
    }
    close(fd);
    return (long)length;
}

static void show(const char *name, const char *content, long length) {
    printf("bad %s \"", name);
    for (long i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)content[i];
        if (c == '\n') {
            fputs("\\n", stdout);
        } else if (c < 0x20 || c >= 0x7f || c == '"' || c == '\\') {
            printf("\\x%02x", c);
        } else {
            putchar(c);
        }
    }
    puts("\"");
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fputs("usage: kestro_e2e_status_reader <directory> <reads>\n", stderr);
        return 2;
    }
    const unsigned long long wanted = strtoull(argv[2], NULL, 10);
    char paths[FILE_COUNT][4096];
    for (int i = 0; i < FILE_COUNT; ++i) {
        if (snprintf(paths[i], sizeof paths[i], "%s/%s", argv[1], names[i]) >= (int)sizeof paths[i]) {
            fputs("status reader: directory name too long\n", stderr);
            return 2;
        }
    }
    char previous[FILE_COUNT][CONTENT_MAX];
    long previous_length[FILE_COUNT];
    for (int i = 0; i < FILE_COUNT; ++i) {
        previous_length[i] = -2;
    }
    unsigned long long reads = 0, rounds = 0, empty = 0, missing = 0, malformed = 0, changes = 0;
    int ready = 0, shown = 0;
    char content[CONTENT_MAX];
    while (reads < wanted || !ready) {
        int found = 0;
        for (int i = 0; i < FILE_COUNT; ++i) {
            const long length = read_whole(paths[i], content);
            if (length < 0) {
                if (errno != ENOENT) {
                    perror("status reader: open");
                    return 2;
                }
                if (ready) {
                    ++missing;
                    if (shown++ < BAD_SHOWN) {
                        printf("bad %s (missing)\n", names[i]);
                    }
                }
                continue;
            }
            ++found;
            if (!ready) {
                continue;
            }
            ++reads;
            if (length == 0) {
                ++empty;
            } else if (!well_formed(i, content, (size_t)length)) {
                ++malformed;
            } else {
                if (previous_length[i] != -2 &&
                    (previous_length[i] != length || memcmp(previous[i], content, (size_t)length) != 0)) {
                    ++changes;
                }
                memcpy(previous[i], content, (size_t)length);
                previous_length[i] = length;
                continue;
            }
            if (shown++ < BAD_SHOWN) {
                show(names[i], content, length);
            }
        }
        if (!ready) {
            if (found == FILE_COUNT) {
                ready = 1;
                puts("ready");
                fflush(stdout);
            }
            continue;
        }
        ++rounds;
    }
    printf("reads=%llu rounds=%llu empty=%llu missing=%llu malformed=%llu changes=%llu\n", reads, rounds, empty,
           missing, malformed, changes);
    return empty + missing + malformed == 0 ? 0 : 1;
}
