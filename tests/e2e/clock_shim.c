/*
 * Controlled clock for the end-to-end sandbox.
 *
 * Preloaded (LD_PRELOAD) into the daemon only. Every sleep the daemon asks
 * for is reported to the harness as one line "sleep <sec> <nsec>\n" on the
 * request pipe, and held until the harness writes the release byte for it on
 * the release pipe; the sleep then returns at once, as if the time had
 * passed. The k-th request (counting from 1) is released by the byte k mod
 * 256, so a release that arrives for a request that a signal has already
 * interrupted is recognised as stale and skipped.
 *
 * A signal whose handler runs during a held sleep ends it as it would end a
 * real one: -1 with EINTR (or EINTR from clock_nanosleep), with the whole
 * request left in *rem, since no controlled time has passed. The harness is
 * told with the line "interrupted\n".
 *
 * The two descriptors come in KESTRO_E2E_CLOCK_FDS as "<request>,<release>".
 * At load the shim marks them close-on-exec and removes that variable and
 * LD_PRELOAD from the environment, so whatever the daemon runs (poweroff)
 * runs with neither the shim nor its pipes. Without the variable every call
 * goes to the C library unchanged.
 *
 * A wait for a signal with a time limit (sigtimedwait: the daemon's wait
 * for a command it runs) is reported as "wait <sec> <nsec>\n" and held the
 * same way, but the signal ends it at once, no time having passed: the
 * harness is told "woken\n". Released, it is the whole limit gone by.
 *
 * The clocks of awake time are controlled too: CLOCK_MONOTONIC and
 * CLOCK_BOOTTIME stand at their first reading plus the time of every sleep
 * released so far, so a held sleep is time gone by and nothing else is.
 * CLOCK_BOOTTIME adds the seconds asleep that the file named by
 * KESTRO_E2E_ASLEEP_FILE holds (the fake systemctl "hibernates" there).
 * KESTRO_E2E_TIME_SCALE=N makes every released pause N times as long on
 * these clocks (the demo: a one-second cycle is a minute of the laptop's).
 *
 * The wall clock (CLOCK_REALTIME, time) runs with them: it stands at its
 * first reading, or at the Unix seconds of KESTRO_E2E_WALL_START, plus the
 * time awake and asleep since, so that records dated by it are as far apart
 * as the controlled time. With KESTRO_E2E_WALL_START but no harness (a
 * client reading the sandbox's history) it stands still at that time.
 *
 * When the harness is gone (a pipe fails or reaches its end) the process
 * kills itself: a daemon whose clock nobody controls must not run free.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#define CLOCK_FDS_VARIABLE "KESTRO_E2E_CLOCK_FDS"
#define ASLEEP_FILE_VARIABLE "KESTRO_E2E_ASLEEP_FILE"
#define TIME_SCALE_VARIABLE "KESTRO_E2E_TIME_SCALE"
#define WALL_START_VARIABLE "KESTRO_E2E_WALL_START"
#define NSEC_PER_SEC 1000000000L

static int request_fd = -1;
static int release_fd = -1;
static unsigned long requests_made;
static unsigned long long slept_ns; /* the released sleeps, in total */
static unsigned long long time_scale = 1;
static unsigned long long first_ns[3]; /* the first readings of the three clocks */
static char asleep_file[4096]; /* not on the heap: memcheck counts what is left there */

static int parse_fd(const char *text, const char **end) {
    long value = 0;
    const char *p = text;
    if (*p < '0' || *p > '9') {
        return -1;
    }
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > 1000000) {
            return -1;
        }
        ++p;
    }
    *end = p;
    return (int)value;
}

__attribute__((constructor)) static void clock_shim_load(void) {
    const char *fds = getenv(CLOCK_FDS_VARIABLE);
    if (fds != NULL) {
        const char *rest = fds;
        const int request = parse_fd(rest, &rest);
        if (request >= 0 && *rest == ',') {
            const int release = parse_fd(rest + 1, &rest);
            if (release >= 0 && *rest == '\0' && fcntl(request, F_SETFD, FD_CLOEXEC) == 0 &&
                fcntl(release, F_SETFD, FD_CLOEXEC) == 0) {
                request_fd = request;
                release_fd = release;
            }
        }
        if (request_fd < 0) {
            static const char complaint[] = "clock shim: unusable " CLOCK_FDS_VARIABLE "\n";
            (void)!write(2, complaint, sizeof complaint - 1);
            raise(SIGKILL);
        }
    }
    if (getenv(ASLEEP_FILE_VARIABLE) != NULL) {
        snprintf(asleep_file, sizeof asleep_file, "%s", getenv(ASLEEP_FILE_VARIABLE));
    }
    if (getenv(TIME_SCALE_VARIABLE) != NULL && strtoull(getenv(TIME_SCALE_VARIABLE), NULL, 10) > 0) {
        time_scale = strtoull(getenv(TIME_SCALE_VARIABLE), NULL, 10);
    }
    if (getenv(WALL_START_VARIABLE) != NULL) {
        first_ns[2] = strtoull(getenv(WALL_START_VARIABLE), NULL, 10) * NSEC_PER_SEC;
    }
    unsetenv(CLOCK_FDS_VARIABLE);
    unsetenv(ASLEEP_FILE_VARIABLE);
    unsetenv(TIME_SCALE_VARIABLE);
    unsetenv(WALL_START_VARIABLE);
    unsetenv("LD_PRELOAD");
}

static _Noreturn void harness_gone(void) {
    raise(SIGKILL);
    _exit(127);
}

static void send_line(const char *line, size_t length) {
    while (length > 0) {
        const ssize_t written = write(request_fd, line, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            harness_gone();
        }
        line += written;
        length -= (size_t)written;
    }
}

#define WOKEN (-1)

/* Reports the pause ("sleep" or "wait") and holds it. Returns 0 when
 * released, EINTR when a signal handler ran first, WOKEN when wake_fd (if
 * not -1) became readable first. errno is left as it was.
 *
 * Signals stay blocked from the report until the wait, which unblocks them
 * atomically (ppoll): a signal that the harness sends once it has seen the
 * report cannot slip in before the wait and be missed. */
static int hold(const char *verb, time_t sec, long nsec, int wake_fd) {
    const int saved_errno = errno;
    sigset_t all, caller;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &caller);
    char line[64];
    const int length = snprintf(line, sizeof line, "%s %lld %ld\n", verb, (long long)sec, nsec);
    const unsigned char wanted = (unsigned char)(++requests_made & 0xff);
    send_line(line, (size_t)length);
    int result = 0;
    for (;;) {
        struct pollfd wait_for[2] = {{.fd = release_fd, .events = POLLIN, .revents = 0},
                                     {.fd = wake_fd, .events = POLLIN, .revents = 0}};
        if (ppoll(wait_for, 2, NULL, &caller) < 0) {
            if (errno == EINTR) {
                static const char interrupted[] = "interrupted\n";
                send_line(interrupted, sizeof interrupted - 1);
                result = EINTR;
                break;
            }
            harness_gone();
        }
        if (wait_for[1].revents != 0) {
            static const char woken[] = "woken\n";
            send_line(woken, sizeof woken - 1);
            result = WOKEN;
            break;
        }
        unsigned char byte;
        const ssize_t got = read(release_fd, &byte, 1);
        if (got == 1) {
            if (byte == wanted) {
                break;
            }
            continue; /* the release of an interrupted request */
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        harness_gone();
    }
    if (result == 0) {
        slept_ns += ((unsigned long long)sec * NSEC_PER_SEC + (unsigned long long)nsec) * time_scale;
    }
    sigprocmask(SIG_SETMASK, &caller, NULL);
    errno = saved_errno;
    return result;
}

/* The seconds asleep so far, from the file the fake systemctl adds to. */
static unsigned long long asleep_ns(void) {
    FILE *file = asleep_file[0] != '\0' ? fopen(asleep_file, "re") : NULL;
    unsigned long long seconds = 0;
    if (file != NULL) {
        if (fscanf(file, "%llu", &seconds) != 1) {
            seconds = 0;
        }
        fclose(file);
    }
    return seconds * NSEC_PER_SEC;
}

int clock_gettime(clockid_t clock, struct timespec *now) {
    int (*real)(clockid_t, struct timespec *) =
        (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    const int which = clock == CLOCK_MONOTONIC ? 0 : clock == CLOCK_BOOTTIME ? 1 : clock == CLOCK_REALTIME ? 2 : -1;
    const int result = real(clock, now);
    if (result != 0 || which < 0 || (request_fd < 0 && (which < 2 || first_ns[2] == 0))) {
        return result;
    }
    if (first_ns[which] == 0) {
        first_ns[which] = (unsigned long long)now->tv_sec * NSEC_PER_SEC + (unsigned long long)now->tv_nsec;
    }
    const unsigned long long at = first_ns[which] + slept_ns + (which > 0 ? asleep_ns() : 0);
    now->tv_sec = (time_t)(at / NSEC_PER_SEC);
    now->tv_nsec = (long)(at % NSEC_PER_SEC);
    return 0;
}

/* The C library's time() reads the kernel's clock without clock_gettime. */
time_t time(time_t *result) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (result != NULL) {
        *result = now.tv_sec;
    }
    return now.tv_sec;
}

static int valid(const struct timespec *req) {
    return req != NULL && req->tv_sec >= 0 && req->tv_nsec >= 0 && req->tv_nsec < NSEC_PER_SEC;
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
    if (request_fd < 0) {
        int (*real)(const struct timespec *, struct timespec *) =
            (int (*)(const struct timespec *, struct timespec *))dlsym(RTLD_NEXT, "nanosleep");
        return real(req, rem);
    }
    if (!valid(req)) {
        errno = req == NULL ? EFAULT : EINVAL;
        return -1;
    }
    if (hold("sleep", req->tv_sec, req->tv_nsec, -1) == EINTR) {
        if (rem != NULL) {
            *rem = *req;
        }
        errno = EINTR;
        return -1;
    }
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *req, struct timespec *rem) {
    if (request_fd < 0) {
        int (*real)(clockid_t, int, const struct timespec *, struct timespec *) =
            (int (*)(clockid_t, int, const struct timespec *, struct timespec *))dlsym(
                RTLD_NEXT, "clock_nanosleep");
        return real(clock, flags, req, rem);
    }
    if (!valid(req)) {
        return req == NULL ? EFAULT : EINVAL;
    }
    struct timespec relative = *req;
    if (flags & TIMER_ABSTIME) {
        struct timespec now;
        if (clock_gettime(clock, &now) != 0) {
            return EINVAL;
        }
        relative.tv_sec = req->tv_sec - now.tv_sec;
        relative.tv_nsec = req->tv_nsec - now.tv_nsec;
        if (relative.tv_nsec < 0) {
            relative.tv_nsec += NSEC_PER_SEC;
            relative.tv_sec -= 1;
        }
        if (relative.tv_sec < 0) {
            relative.tv_sec = 0;
            relative.tv_nsec = 0;
        }
    } else {
        struct timespec probe;
        if (clock_gettime(clock, &probe) != 0) {
            return EINVAL;
        }
    }
    if (hold("sleep", relative.tv_sec, relative.tv_nsec, -1) == EINTR) {
        if (rem != NULL && !(flags & TIMER_ABSTIME)) {
            *rem = *req;
        }
        return EINTR;
    }
    return 0;
}

/* The C library's own sleep() and usleep() call its internal nanosleep,
 * which no preload can reach, so they are caught here as well. */
unsigned int sleep(unsigned int seconds) {
    struct timespec request = {.tv_sec = seconds, .tv_nsec = 0};
    struct timespec left = {0, 0};
    if (nanosleep(&request, &left) == 0) {
        return 0;
    }
    return (unsigned int)left.tv_sec + (left.tv_nsec > 0 ? 1u : 0u);
}

int usleep(useconds_t microseconds) {
    struct timespec request = {.tv_sec = microseconds / 1000000,
                               .tv_nsec = (long)(microseconds % 1000000) * 1000};
    return nanosleep(&request, NULL);
}

int sigtimedwait(const sigset_t *set, siginfo_t *info, const struct timespec *timeout) {
    int (*real)(const sigset_t *, siginfo_t *, const struct timespec *) =
        (int (*)(const sigset_t *, siginfo_t *, const struct timespec *))dlsym(RTLD_NEXT, "sigtimedwait");
    static const struct timespec no_wait = {0, 0};
    if (request_fd < 0 || timeout == NULL || !valid(timeout)) {
        return real(set, info, timeout);
    }
    const int pending = real(set, info, &no_wait);
    if (pending >= 0 || errno != EAGAIN) {
        return pending;
    }
    /* The awaited signals are blocked: pending, they make this readable. */
    const int arrival = signalfd(-1, set, SFD_CLOEXEC);
    if (arrival < 0) {
        harness_gone();
    }
    const int held = hold("wait", timeout->tv_sec, timeout->tv_nsec, arrival);
    close(arrival);
    if (held == WOKEN) {
        return real(set, info, &no_wait);
    }
    errno = held == EINTR ? EINTR : EAGAIN;
    return -1;
}
