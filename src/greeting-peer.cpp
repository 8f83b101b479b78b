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

namespace
{

const char reply[] = "Hello from greeting-peer";

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

} // namespace

int main(int argc, char **argv)
{
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--once") == 0) {
            once = true;
        } else {
            fprintf(stderr, "usage: greeting-peer [--once]\n");
            return 2;
        }
    }

    // The stop signals are taken through a descriptor so that a signal can
    // never slip in between the check and the wait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int sigfd = signalfd(-1, &stop, SFD_CLOEXEC);
    if (sigfd < 0) {
        perror("greeting-peer: signalfd");
        return 1;
    }

    int sockfd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sockfd < 0) {
        perror("greeting-peer: socket");
        return 1;
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
        return 1;
    }
    puts("greeting-peer: listening on 127.0.0.1:8080");
    fflush(stdout);

    pollfd fds[2] = {{sockfd, POLLIN, 0}, {sigfd, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            perror("greeting-peer: poll");
            return 1;
        }
        if (fds[1].revents)
            break;
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
            return 1;
        }
        report(data, n, from);
        if (sendto(sockfd, reply, sizeof(reply) - 1, 0, reinterpret_cast<sockaddr *>(&from),
                   fromlen) < 0)
            perror("greeting-peer: send");
        if (once)
            break;
    }
    close(sockfd);
    return 0;
}
