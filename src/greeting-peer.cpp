// SPDX-License-Identifier: MIT
// A demo service for the client: answers every datagram on UDP 127.0.0.1:8080.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
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

// Writes all of `text` to standard output, waiting for a reader that is slow to take it: a
// stop signal ends the peer wherever it waits. Returns 0, or -1 once the failure is reported.
int write_out(const char *text, size_t size)
{
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, text, size);
        if (n < 0 && errno == EINTR) // a signal that did not end it, under an emulator say
            continue;
        if (n < 0) {
            perror("greeting-peer: write to standard output failed");
            return -1;
        }
        text += n;
        size -= size_t(n);
    }
    return 0;
}

// One line per datagram; escaping keeps a hostile payload from driving the terminal. It is
// written a piece at a time, so that memory stays bounded whatever came. Returns as write_out.
int report(const unsigned char *data, ssize_t size, const sockaddr_in &from)
{
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, address, sizeof(address));
    char line[PIPE_BUF];
    int used = snprintf(line, sizeof(line), "greeting-peer: %zd bytes from %s:%u: \"", size,
                        address, ntohs(from.sin_port));
    for (ssize_t i = 0; i <= size; ++i) {
        if (used > int(sizeof(line)) - 5) { // room for the longest escape and its zero
            if (write_out(line, size_t(used)) != 0)
                return -1;
            used = 0;
        }
        unsigned char c = i < size ? data[i] : 0;
        if (i == size)
            used += snprintf(line + used, 5, "\"\n");
        else if (c == '"' || c == '\\')
            used += snprintf(line + used, 5, "\\%c", c);
        else if (isprint(c))
            line[used++] = char(c);
        else
            used += snprintf(line + used, 5, "\\x%02x", c);
    }
    return write_out(line, size_t(used));
}

// Reads the command line: -1 to go on serving, else the status to exit with at once.
int read_command_line(int argc, char **argv, bool &once)
{
    const option options[] = {{"once", no_argument, nullptr, 'o'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'v'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0; // the message below names the argument as given
    const char *unrecognized = nullptr;
    // getopt_long does not say which argument it failed on. With "+" it stops at the first
    // argument that is no option and moves none, and with no short option to take it never
    // stops inside a cluster: the argument at `optind` before each call is the one it reads.
    for (int at = optind, opt;
         !unrecognized && (opt = getopt_long(argc, argv, "+", options, nullptr)) != -1;
         at = optind) {
        if (opt == 'o') {
            once = true;
        } else if (opt == '?') {
            unrecognized = argv[at];
        } else {
            int written = opt == 'h' ? printf("%s%s", usage, help)
                                     : printf("greeting-peer (greeting) %s\n", GREETING_VERSION);
            if (written < 0 || fflush(stdout) == EOF) {
                perror("greeting-peer: write to standard output failed");
                return 1;
            }
            return 0;
        }
    }
    if (!unrecognized && optind < argc)
        unrecognized = argv[optind];
    if (!unrecognized)
        return -1;
    fprintf(stderr, "greeting-peer: unrecognized argument '%s'\n%s", unrecognized, usage);
    fprintf(stderr, "Try 'greeting-peer --help' for more information.\n");
    return 2;
}

// A descriptor that took the place of a closed standard stream would take what is written to
// that stream, and a write to the stream would fail for the wrong reason: it is moved above
// them, and the stream stays closed, as it was given. Where the descriptor limit leaves no room
// above them, F_DUPFD says EINVAL; what ran out is descriptors.
int above_standard_streams(int fd)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved >= 0)
        close(fd);
    else if (errno == EINVAL)
        errno = EMFILE;
    return moved;
}

// SIGTERM is an ordinary stop. A shell only stops a loop around the peer when it sees the peer
// die of SIGINT, as it would with no handler at all. Either ends the peer where it stands, also
// in a write that a stalled reader holds up; a report it cuts short is lost.
void stop(int sig)
{
    if (sig == SIGTERM)
        _exit(0);
    raise(sig); // the disposition is the default again, and the signal not blocked
}

// A signal that was ignored when the peer started stays ignored: a script's background job
// expects Ctrl-C to leave it running.
void take_stop_signals()
{
    for (int sig : {SIGINT, SIGTERM}) {
        struct sigaction action;
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            continue;
        memset(&action, 0, sizeof(action));
        action.sa_handler = stop;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

// Returns the socket bound to 127.0.0.1:8080, or -1 once the failure is reported.
int bind_port()
{
    int sockfd = above_standard_streams(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
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

// Answers each datagram, until a stop signal ends the peer or after the first with `once`.
// Returns 0 after that one, or -1 once a failure is reported (with `once`, also an answer that
// could not be sent).
int serve(int sockfd, bool once)
{
    for (;;) {
        unsigned char data[65536];
        sockaddr_in from;
        socklen_t fromlen = sizeof(from);
        ssize_t n =
            recvfrom(sockfd, data, sizeof(data), 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            perror("greeting-peer: receive");
            return -1;
        }
        // Answered first: a reader of the reports that has gone away may end the peer, but
        // must not cost the client its answer. Until a report is taken, nothing more is
        // answered: the peer keeps its reader's pace.
        bool answered = sendto(sockfd, reply, sizeof(reply) - 1, 0,
                               reinterpret_cast<sockaddr *>(&from), fromlen) >= 0;
        if (!answered)
            perror("greeting-peer: send");
        if (report(data, n, from) != 0)
            return -1;
        if (once)
            return answered ? 0 : -1;
    }
}

} // namespace

int main(int argc, char **argv)
{
    bool once = false;
    int status = read_command_line(argc, argv, once);
    if (status >= 0)
        return status;
    take_stop_signals();
    int sockfd = bind_port();
    if (sockfd < 0)
        return 1;
    // Whoever waits for this line to know that the peer is ready must hear of it when it
    // cannot be written.
    if (puts("greeting-peer: listening on 127.0.0.1:8080") == EOF || fflush(stdout) == EOF) {
        perror("greeting-peer: write to standard output failed");
        return 1;
    }
    status = serve(sockfd, once) == 0 ? 0 : 1;
    close(sockfd);
    return status;
}
