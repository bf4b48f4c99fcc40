/*
 * Times a program from its exec to a line it prints, or to its exit.
 *
 *   exec_timer RESULT MARKER PROGRAM [ARG...]
 *
 * Runs PROGRAM as a child with this process's environment, its standard
 * output through a pipe that this process copies to its own. The child
 * takes the clock (CLOCK_MONOTONIC) just before its execve; this process
 * takes it again when a whole output line equal to MARKER has arrived, or,
 * with an empty MARKER, when the child has ended. The difference and the
 * CPU time the child has used by then (its CPU-time clock at the marker,
 * its rusage at the end), both in nanoseconds, are written to the file RESULT as
 * one line "<wall> <cpu>"; then the copying goes on until the child's output
 * ends, and the exit status is the child's.
 *
 * Linked statically, so that an LD_PRELOAD in the environment (the
 * benchmark's clock shim) is loaded into the program timed and not into
 * this one.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* CPU time of a running child so far. Its clock is named by its process
 * id as this process sees it, which the sandbox's /proc would not know. */
static long long cpu_ns_of(pid_t pid) {
    clockid_t clock;
    struct timespec used;
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) {
        return -1;
    }
    return (long long)used.tv_sec * 1000000000LL + used.tv_nsec;
}

static void write_result(const char *path, long long elapsed, long long cpu) {
    FILE *result = fopen(path, "w");
    if (result == NULL) {
        perror(path);
        exit(125);
    }
    fprintf(result, "%lld %lld\n", elapsed, cpu);
    if (fclose(result) != 0) {
        perror(path);
        exit(125);
    }
}

static void copy_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return; /* nobody reads our output any more: keep timing */
        }
        data += written;
        length -= (size_t)written;
    }
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: exec_timer RESULT MARKER PROGRAM [ARG...]\n");
        return 125;
    }
    const char *result_path = argv[1];
    const char *marker = argv[2];
    const size_t marker_length = strlen(marker);
    long long *exec_time = mmap(NULL, sizeof *exec_time, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    int output[2];
    if (exec_time == MAP_FAILED || pipe2(output, O_CLOEXEC) != 0) {
        perror("exec_timer");
        return 125;
    }
    const pid_t child = fork();
    if (child < 0) {
        perror("fork");
        return 125;
    }
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        *exec_time = now_ns();
        execv(argv[3], argv + 3);
        perror(argv[3]);
        _exit(127);
    }
    close(output[1]);

    char line[4096];
    size_t line_length = 0;
    int found = marker_length == 0;
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(output[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got && !found; ++i) {
            if (chunk[i] != '\n') {
                if (line_length < sizeof line) {
                    line[line_length++] = chunk[i];
                }
                continue;
            }
            if (line_length == marker_length && memcmp(line, marker, marker_length) == 0) {
                const long long elapsed = now_ns() - *exec_time;
                write_result(result_path, elapsed, cpu_ns_of(child));
                found = 1;
            }
            line_length = 0;
        }
        copy_all(STDOUT_FILENO, chunk, (size_t)got);
    }
    int status = 0;
    struct rusage usage;
    while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (marker_length == 0) {
        const long long elapsed = now_ns() - *exec_time;
        const long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
                              (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
        write_result(result_path, elapsed, cpu);
    }
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
