// SPDX-License-Identifier: MIT
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main()
{
    const char *hello = "Hello from client";

    // A socket that took the place of a closed standard stream would receive
    // what is meant for that stream, and a write to the stream would fail for
    // the wrong reason. The stream stays closed, as it was given. Where the
    // descriptor limit leaves no room above the streams, F_DUPFD says EINVAL;
    // what ran out is descriptors, and that is what the user can change.
    int sockfd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sockfd >= 0 && sockfd <= STDERR_FILENO) {
        int low = sockfd;
        sockfd = fcntl(low, F_DUPFD, STDERR_FILENO + 1);
        if (sockfd >= 0)
            close(low);
        else if (errno == EINVAL)
            errno = EMFILE;
    }
    if (sockfd < 0) {
        perror("socket creation failed");
        exit(EXIT_FAILURE);
    }

    // 0.0.0.0 as a destination is delivered to this host by the Linux stack.
    sockaddr_in servaddr;
    memset(&servaddr, 0, sizeof(servaddr));
    servaddr.sin_family = AF_INET;
    servaddr.sin_port = htons(8080);
    servaddr.sin_addr.s_addr = INADDR_ANY;
    socklen_t len = sizeof(servaddr);

    if (sendto(sockfd, hello, strlen(hello), MSG_CONFIRM,
               reinterpret_cast<const sockaddr *>(&servaddr), sizeof(servaddr)) < 0) {
        perror("send failed");
        close(sockfd);
        return EXIT_FAILURE;
    }

    // Flushed now so that the line survives a run that is stopped while it
    // waits; a line that cannot be written makes the wait pointless.
    if (puts("Hello message sent.") == EOF || fflush(stdout) == EOF) {
        perror("write to standard output failed");
        close(sockfd);
        return EXIT_FAILURE;
    }

    char buffer[1024 + 1];
    ssize_t n = recvfrom(sockfd, buffer, sizeof(buffer) - 1, MSG_WAITALL,
                         reinterpret_cast<sockaddr *>(&servaddr), &len);
    if (n < 0) {
        perror("receive failed");
        close(sockfd);
        return EXIT_FAILURE;
    }
    buffer[n] = '\0';

    if (printf("Server : %s\n", buffer) < 0 || fflush(stdout) == EOF) {
        perror("write to standard output failed");
        close(sockfd);
        return EXIT_FAILURE;
    }

    close(sockfd);
    return 0;
}
