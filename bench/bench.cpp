// SPDX-License-Identifier: MIT
// Measures what one whole run of the client costs beside the cost of starting
// /bin/true, the floor for any dynamically linked process: user-space
// instructions (callgrind), wall time over many runs, and peak resident memory.
// It stays small and libc-only on purpose: a spawned child's peak memory
// includes the launcher's own pages up to the exec.
#include "private_network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char **environ;

namespace
{

constexpr int warmup_runs = 50;
constexpr int timed_runs = 500;
constexpr int reply_timeout_ms = 60000; // valgrind starts slowly

const char floor_path[] = "/bin/true";
int server = -1;
posix_spawn_file_actions_t quiet; // the child's standard output goes to /dev/null

bool serve_one()
{
    pollfd p{server, POLLIN, 0};
    if (poll(&p, 1, reply_timeout_ms) != 1)
        return false;
    char greeting[64];
    sockaddr_in from;
    socklen_t len = sizeof(from);
    if (recvfrom(server, greeting, sizeof(greeting), 0, reinterpret_cast<sockaddr *>(&from), &len) <
        0)
        return false;
    const char reply[] = "Hello from the benchmark";
    return sendto(server, reply, sizeof(reply) - 1, 0, reinterpret_cast<sockaddr *>(&from), len) ==
           ssize_t(sizeof(reply) - 1);
}

struct Run {
    double micros;
    long maxrss_kib;
};

// Starts argv[0] (searched in PATH), answers its greeting when `answers`, waits for it.
bool run_once(char *const argv[], bool answers, Run &run)
{
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &quiet, nullptr, argv, environ) != 0)
        return false;
    bool served = !answers || serve_one();
    if (!served)
        kill(pid, SIGKILL);
    int status;
    rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid)
        return false;
    clock_gettime(CLOCK_MONOTONIC, &end);
    run.micros =
        double(end.tv_sec - start.tv_sec) * 1e6 + double(end.tv_nsec - start.tv_nsec) / 1e3;
    run.maxrss_kib = usage.ru_maxrss;
    return served && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Callgrind's count of user-space instructions for one run; 0 when it cannot be had.
long instructions(const char *program, bool answers)
{
    char out[] = "/tmp/client-bench-XXXXXX";
    int fd = mkstemp(out);
    if (fd < 0)
        return 0;
    close(fd);
    char out_arg[64];
    snprintf(out_arg, sizeof(out_arg), "--callgrind-out-file=%s", out);
    const char *argv[] = {"valgrind", "--tool=callgrind", "-q", out_arg, program, nullptr};
    Run run;
    long count = 0;
    if (run_once(const_cast<char *const *>(argv), answers, run)) {
        FILE *f = fopen(out, "r");
        char line[256];
        while (f && fgets(line, sizeof(line), f))
            if (sscanf(line, "summary: %ld", &count) == 1)
                break;
        if (f)
            fclose(f);
    }
    unlink(out);
    return count;
}

struct Figures {
    long instructions;
    double median_us, p99_us;
    long maxrss_kib;
};

void summarise(Run *runs, Figures &figures)
{
    std::sort(runs, runs + timed_runs,
              [](const Run &a, const Run &b) { return a.micros < b.micros; });
    figures.median_us = runs[timed_runs / 2].micros;
    figures.p99_us = runs[timed_runs * 99 / 100].micros;
    std::sort(runs, runs + timed_runs,
              [](const Run &a, const Run &b) { return a.maxrss_kib < b.maxrss_kib; });
    figures.maxrss_kib = runs[timed_runs / 2].maxrss_kib;
}

void row(const char *what, double client, double floor, double target, const char *format)
{
    char a[32], b[32];
    snprintf(a, sizeof(a), format, client);
    snprintf(b, sizeof(b), format, floor);
    double ratio = floor > 0 ? client / floor : 0;
    printf("%-30s %12s %12s %7.3f", what, a, b, ratio);
    if (target > 0)
        printf("  <= %.2f  %s\n", target, client > 0 && ratio <= target ? "met" : "missed");
    else
        printf("\n");
}

Run client_runs[timed_runs], floor_runs[timed_runs];

bool measure(const char *client)
{
    char *client_argv[] = {const_cast<char *>(client), nullptr};
    char *floor_argv[] = {const_cast<char *>(floor_path), nullptr};
    Figures mine{}, base{};
    mine.instructions = instructions(client, true);
    base.instructions = instructions(floor_path, false);
    // Interleaved, so that a change in the machine's load touches both alike.
    for (int i = -warmup_runs; i < timed_runs; ++i) {
        Run a, b;
        if (!run_once(client_argv, true, a) || !run_once(floor_argv, false, b)) {
            fprintf(stderr, "client-bench: a run of %s failed\n", client);
            return false;
        }
        if (i >= 0) {
            client_runs[i] = a;
            floor_runs[i] = b;
        }
    }
    summarise(client_runs, mine);
    summarise(floor_runs, base);

    printf("%s against %s, %d runs each after %d to warm up\n", client, floor_path, timed_runs,
           warmup_runs);
    printf("%-30s %12s %12s %7s  %s\n", "", "client", "floor", "ratio", "target");
    row("user-space instructions", double(mine.instructions), double(base.instructions), 1.05,
        "%.0f");
    row("wall time median (us)", mine.median_us, base.median_us, 1.30, "%.1f");
    row("wall time p99 (us)", mine.p99_us, base.p99_us, 0, "%.1f");
    row("peak resident memory (KiB)", double(mine.maxrss_kib), double(base.maxrss_kib), 1.5,
        "%.0f");
    if (!mine.instructions || !base.instructions)
        printf("(no instruction count: is valgrind installed?)\n");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    bool moved;
    if (const char *failed = enter_private_network(moved)) {
        fprintf(stderr, "client-bench: %s: %s\n", failed, strerror(errno));
        return 1;
    }
    server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_port = htons(8080);
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (server < 0 || bind(server, reinterpret_cast<sockaddr *>(&self), sizeof(self)) != 0) {
        perror("client-bench: binding 127.0.0.1:8080");
        return 1;
    }
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);

    const char *default_client[] = {CLIENT_PATH};
    const char *const *clients = default_client;
    int count = 1;
    if (argc > 1) {
        clients = argv + 1;
        count = argc - 1;
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            printf("\n");
        if (!measure(clients[i]))
            return 1;
    }
    return 0;
}
