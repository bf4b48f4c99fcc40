/*
 * A stand-in daemon for the harness's own tests: it sleeps the way the daemon
 * does, through the calls the clock shim replaces, and prints what the calls
 * returned, so the tests can check the sandbox and the shim without
 * depending on the daemon's behaviour.
 *
 *   sleeper ticks N       N times: print "tick <i>", sleep 1 s; then "done"
 *   sleeper calls         one of each sleeping call, each result printed
 *   sleeper interrupt     a 5 s sleep that SIGUSR1 interrupts, then the rest
 *   sleeper spawn ARG...  run ARG... through PATH, as the daemon runs
 *                         poweroff, and exit with its status
 *   sleeper read PATH...  print "<path> ok" or "<path> <errno name>" for
 *                         reading a byte of each path
 *   sleeper mounts        print "sysfs" when /sys is still sysfs
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define SYSFS_MAGIC 0x62656572

static void on_usr1(int signal_number) { (void)signal_number; }

static void show(const char *what, int result, int error, const struct timespec *rem) {
    printf("%s -> %d %s rem=%lld.%09ld\n", what, result, result == 0 ? "ok" : strerrorname_np(error),
           (long long)rem->tv_sec, rem->tv_nsec);
}

static int ticks(long count) {
    for (long i = 1; i <= count; ++i) {
        printf("tick %ld\n", i);
        const struct timespec second = {1, 0};
        nanosleep(&second, NULL);
    }
    printf("done\n");
    return 0;
}

static int calls(void) {
    struct timespec rem = {0, 0};
    const struct timespec retry = {0, 333000000};
    int result = nanosleep(&retry, &rem);
    show("nanosleep 0.333", result, errno, &rem);

    const struct timespec relative = {2, 500000000};
    result = clock_nanosleep(CLOCK_MONOTONIC, 0, &relative, &rem);
    show("clock_nanosleep monotonic 2.5", result, result, &rem);

    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 7;
    result = clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &deadline, &rem);
    show("clock_nanosleep realtime absolute +7", result, result, &rem);

    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec -= 1;
    result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, &rem);
    show("clock_nanosleep monotonic absolute past", result, result, &rem);

    const struct timespec invalid = {0, 1000000000};
    result = nanosleep(&invalid, &rem);
    show("nanosleep invalid", result, errno, &rem);

    printf("sleep 3 -> %u\n", sleep(3));
    printf("usleep 1500 -> %d\n", usleep(1500));
    const struct timespec second = {1, 0};
    nanosleep(&second, NULL);
    printf("done\n");
    return 0;
}

static int interrupt(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_usr1;
    action.sa_flags = SA_RESTART; /* a real sleep is interrupted all the same */
    sigaction(SIGUSR1, &action, NULL);
    const struct timespec request = {5, 250000000};
    struct timespec rem = {0, 0};
    int result = nanosleep(&request, &rem);
    show("nanosleep 5.25", result, errno, &rem);
    if (result != 0) {
        const struct timespec again = rem;
        result = nanosleep(&again, &rem);
        show("nanosleep rest", result, errno, &rem);
    }
    const struct timespec second = {1, 0};
    nanosleep(&second, NULL);
    printf("done\n");
    return 0;
}

static int spawn(char **argv) {
    printf("LD_PRELOAD %s\n", getenv("LD_PRELOAD") ? "set" : "unset");
    printf("KESTRO_E2E_CLOCK_FDS %s\n", getenv("KESTRO_E2E_CLOCK_FDS") ? "set" : "unset");
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[0], argv);
        printf("exec %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status)) {
        printf("child signal %d\n", WTERMSIG(status));
        return 1;
    }
    printf("child exit %d\n", WEXITSTATUS(status));
    return WEXITSTATUS(status);
}

static int read_paths(char **paths) {
    for (; *paths != NULL; ++paths) {
        char byte;
        const int fd = open(*paths, O_RDONLY);
        const int result = fd < 0 ? -1 : (int)read(fd, &byte, 1);
        printf("%s %s\n", *paths, result >= 0 ? "ok" : strerrorname_np(errno));
        if (fd >= 0) {
            close(fd);
        }
    }
    return 0;
}

static int mounts(void) {
    struct statfs info;
    if (statfs("/sys", &info) == 0 && info.f_type == SYSFS_MAGIC) {
        printf("sysfs\n");
    } else {
        printf("not sysfs\n");
    }
    return 0;
}

int main(int argc, char **argv) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc >= 3 && strcmp(argv[1], "ticks") == 0) {
        return ticks(strtol(argv[2], NULL, 10));
    }
    if (argc == 2 && strcmp(argv[1], "calls") == 0) {
        return calls();
    }
    if (argc == 2 && strcmp(argv[1], "interrupt") == 0) {
        return interrupt();
    }
    if (argc >= 3 && strcmp(argv[1], "spawn") == 0) {
        return spawn(argv + 2);
    }
    if (argc >= 3 && strcmp(argv[1], "read") == 0) {
        return read_paths(argv + 2);
    }
    if (argc == 2 && strcmp(argv[1], "mounts") == 0) {
        return mounts();
    }
    fprintf(stderr, "usage: sleeper ticks N | calls | interrupt | spawn ARG... | read PATH... | mounts\n");
    return 2;
}
