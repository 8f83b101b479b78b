// SPDX-License-Identifier: MIT
// The one main of every test program: it enters the private network, or the host's loopback,
// before any test runs.
#include "harness.h"

#include "private_network.h"

#include <sys/un.h>

namespace
{

// Runs `attempt` in a forked child, so that what it changes stays there; returns what failed,
// empty where nothing did.
std::string in_a_child(std::string (*attempt)())
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return errno_text("pipe2");
    pid_t pid = fork();
    if (pid == 0) {
        std::string failed = attempt();
        _exit(write(p[1], failed.data(), failed.size()) == ssize_t(failed.size()) ? 0 : 1);
    }
    close(p[1]);
    char buf[512]; // written at once: shorter than PIPE_BUF
    ssize_t n = read(p[0], buf, sizeof(buf));
    close(p[0]);
    int status = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0 || n < 0)
        return "the trial in a child did not end normally";
    return std::string(buf, size_t(n));
}

// Ends a guarded test at a fatal failure, even inside a helper, instead of letting it run on
// into a wait for what can no longer come.
struct EndTestOnFatalFailure : ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult &result) override
    {
        if (result.fatally_failed() && guarding)
            throw TestEnded{};
    }
};

// Takes the host's 127.0.0.1:8080 for the life of this process, if it is free. A host-wide lock
// keeps test processes apart there (an abstract socket: any user may take it, and the kernel
// frees it however its holder ends), with a wait longer than the longest case (300 s).
void use_host_loopback(const std::string &why)
{
    printf("Using the host's loopback: %s.\n", why.c_str());
    int lock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{AF_UNIX, "\0greeting-udp-8080"};
    auto size = socklen_t(offsetof(sockaddr_un, sun_path) + sizeof("\0greeting-udp-8080") - 1);
    for (int tries = 0; bind(lock, reinterpret_cast<sockaddr *>(&name), size) != 0; ++tries) {
        if (errno != EADDRINUSE || tries == 8000) {
            network_problem = errno_text("waiting 400 s for the test lock @greeting-udp-8080");
            return;
        }
        usleep(50000);
    }
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in port = address("127.0.0.1", 8080);
    if (bind(probe, reinterpret_cast<sockaddr *>(&port), sizeof(port)) != 0 && errno == EADDRINUSE)
        network_problem =
            "the host's 127.0.0.1:8080 is taken, and the host's loopback is used: " + why;
    close(probe);
}

} // namespace

int main(int argc, char **argv)
{
    // Whatever the parent left, children see descriptors 0 to 2 and can be waited for.
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd < 3) {
    }
    close(fd);
    signal(SIGCHLD, SIG_DFL);
    const bool use_host = !env_or("GREETING_TEST_HOST_LOOPBACK", "").empty();

    ::testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        // Both are tried in a child first: no-new-privs would stay for every later child, and a
        // namespace that can be made but not used would leave this process without a network.
        seccomp_problem = !GREETING_SECCOMP ? "built without libseccomp" : in_a_child([] {
            return fail_syscall(-1, 0) ? std::string() : errno_text("installing a seccomp filter");
        });
        auto enter = [] {
            bool moved;
            const char *failed = enter_private_network(moved);
            return failed ? errno_text(failed) : std::string();
        };
        std::string refused = use_host ? "" : in_a_child(enter);
        if (use_host || !refused.empty())
            use_host_loopback(use_host ? "GREETING_TEST_HOST_LOOPBACK is set"
                                       : "no private network namespace (" + refused + ")");
        else
            network_problem = enter();
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new EndTestOnFatalFailure);
    return RUN_ALL_TESTS();
}
