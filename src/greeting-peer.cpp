// SPDX-License-Identifier: MIT
// A demo service for the client: answers every datagram on UDP 127.0.0.1:8080.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace
{

const char reply[] = "Hello from greeting-peer";
const char usage[] = "usage: greeting-peer [--once] [--help] [--version]\n";
const char help[] =
    "Answers each UDP datagram to 127.0.0.1:8080 with \"Hello from greeting-peer\"\n"
    "and prints one line for it, until SIGINT or SIGTERM.\n"
    "\n"
    "  --once     exit after the first answer\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

// One line per datagram; escaping keeps a hostile payload from driving the terminal.
void report(const unsigned char *data, ssize_t size, const sockaddr_in &from)
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof(address));
    printf("greeting-peer: %zd bytes from %s:%u: \"", size, address, ntohs(from.sin_port));
    for (ssize_t i = 0; i < size; ++i) {
        unsigned char c = data[i];
        if (c == '"' || c == '\\')
            printf("\\%c", c);
        else if (isprint(c))
            putchar(c);
        else
            printf("\\x%02x", c);
    }
    puts("\"");
    fflush(stdout);
}

// Reads the command line: -1 to go on serving, else the status to exit with at once.
int read_command_line(int argc, char **argv, bool &once)
{
    for (int i = 1; i < argc; ++i) {
        bool asks_help = strcmp(argv[i], "--help") == 0;
        if (strcmp(argv[i], "--once") == 0) {
            once = true;
        } else if (asks_help || strcmp(argv[i], "--version") == 0) {
            int written = asks_help ? printf("%s%s", usage, help)
                                    : printf("greeting-peer (greeting) %s\n", GREETING_VERSION);
            if (written < 0 || fflush(stdout) == EOF) {
                perror("greeting-peer: write to standard output failed");
                return 1;
            }
            return 0;
        } else {
            fprintf(stderr, "%sTry 'greeting-peer --help' for more information.\n", usage);
            return 2;
        }
    }
    return -1;
}

// The stop signals are taken through a descriptor so that a signal can never
// slip in between the check and the wait. One that was ignored when the peer
// started stays ignored: a script's background job expects Ctrl-C to leave it
// running. Returns the descriptor, or -1 once the failure is reported.
int take_stop_signals()
{
    sigset_t stop;
    sigemptyset(&stop);
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN)
            sigaddset(&stop, sig);
    }
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int sigfd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (sigfd < 0)
        perror("greeting-peer: signalfd");
    return sigfd;
}

// Returns the socket bound to 127.0.0.1:8080, or -1 once the failure is reported.
int bind_port()
{
    int sockfd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sockfd < 0) {
        perror("greeting-peer: socket");
        return -1;
    }
    sockaddr_in self;
    memset(&self, 0, sizeof(self));
    self.sin_family = AF_INET;
    self.sin_port = htons(8080);
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(sockfd, reinterpret_cast<sockaddr *>(&self), sizeof(self)) < 0) {
        if (errno == EADDRINUSE)
            fprintf(stderr, "greeting-peer: 127.0.0.1:8080 is already in use\n");
        else
            perror("greeting-peer: cannot bind 127.0.0.1:8080");
        return -1;
    }
    return sockfd;
}

// Answers each datagram until a stop signal comes, or after the first with
// `once`. Returns the signal that stopped it (0 for none), or -1 once a
// failure is reported.
int serve(int sockfd, int sigfd, bool once)
{
    pollfd fds[2] = {{sockfd, POLLIN, 0}, {sigfd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("greeting-peer: poll");
            return -1;
        }
        if (fds[1].revents) {
            signalfd_siginfo info;
            if (read(sigfd, &info, sizeof(info)) != ssize_t(sizeof(info))) {
                perror("greeting-peer: signalfd");
                return -1;
            }
            return int(info.ssi_signo);
        }
        if (!fds[0].revents)
            continue;

        unsigned char data[65536];
        sockaddr_in from;
        socklen_t fromlen = sizeof(from);
        ssize_t n = recvfrom(sockfd, data, sizeof(data), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            perror("greeting-peer: receive");
            return -1;
        }
        report(data, n, from);
        if (sendto(sockfd, reply, sizeof(reply) - 1, 0, reinterpret_cast<sockaddr *>(&from),
                   fromlen) < 0)
            perror("greeting-peer: send");
        if (once)
            return 0;
    }
}

// A shell only stops a loop around the peer when it sees the peer die of
// SIGINT, as it would with no handler at all; SIGTERM is an ordinary stop.
void end_as_asked(int stopped_by)
{
    if (stopped_by != SIGINT)
        return;
    fflush(stdout);
    signal(SIGINT, SIG_DFL);
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
    raise(SIGINT);
}

} // namespace

int main(int argc, char **argv)
{
    bool once = false;
    int status = read_command_line(argc, argv, once);
    if (status >= 0)
        return status;
    int sigfd = take_stop_signals();
    if (sigfd < 0)
        return 1;
    int sockfd = bind_port();
    if (sockfd < 0)
        return 1;
    puts("greeting-peer: listening on 127.0.0.1:8080");
    fflush(stdout);
    int stopped_by = serve(sockfd, sigfd, once);
    close(sockfd);
    if (stopped_by < 0)
        return 1;
    end_as_asked(stopped_by);
    return 0;
}
