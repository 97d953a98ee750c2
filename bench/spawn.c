/* spawn: runs a program as its child and reports what wait4() says of it.
 *
 *   spawn REPORT_FILE PROGRAM [ARGS...]
 *
 * REPORT_FILE gets one line when the program has ended:
 *   START_NS END_NS UTIME_US STIME_US MAXRSS_KB WAIT_STATUS
 * (CLOCK_MONOTONIC just before the fork and just after wait4 returned; CPU
 * time and peak resident memory of the program and of the children it waited
 * for). The exit status is the program's (128+N when signal N ended it).
 *
 * Why not fork from the harness itself: a child inherits its parent's memory
 * until it calls exec, and the kernel counts that in the child's peak resident
 * memory and its CPU time. This program is small, so what its child inherits
 * is small and always the same. SIGINT is ignored here and restored for the
 * child: the harness signals the program, not this process. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long monotonic_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static long long micros(struct timeval t)
{
    return t.tv_sec * 1000000LL + t.tv_usec;
}

int main(int argc, char **argv)
{
    struct rusage usage;
    long long start, end;
    int status;
    pid_t pid;
    FILE *report;

    if (argc < 3) {
        fprintf(stderr, "usage: spawn REPORT_FILE PROGRAM [ARGS...]\n");
        return 2;
    }
    signal(SIGINT, SIG_IGN);
    start = monotonic_ns();
    pid = fork();
    if (pid < 0) {
        perror("spawn: fork");
        return 126;
    }
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        execvp(argv[2], argv + 2);
        perror("spawn: exec");
        _exit(127);
    }
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("spawn: wait4");
            return 126;
        }
    }
    end = monotonic_ns();
    report = fopen(argv[1], "w");
    if (!report ||
        fprintf(report, "%lld %lld %lld %lld %ld %d\n", start, end, micros(usage.ru_utime),
                micros(usage.ru_stime), usage.ru_maxrss, status) < 0 ||
        fclose(report) != 0) {
        perror("spawn: report");
        return 126;
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
