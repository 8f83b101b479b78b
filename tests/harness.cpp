// SPDX-License-Identifier: MIT
#include "harness.h"

#include "private_network.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <regex>

// The audit architecture that the failure-injection filter expects; 0 where none is known.
#if defined(__x86_64__) && !defined(__ILP32__)
constexpr __u32 audit_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr __u32 audit_arch = AUDIT_ARCH_AARCH64;
#else
constexpr __u32 audit_arch = 0;
#endif

sockaddr_in address(const char *ip, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

std::string temp_dir()
{
    const char *dir = getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

Udp::Udp(const char *ip, uint16_t asked)
{
    sockaddr_in addr = address(ip, asked);
    socklen_t len = sizeof(addr);
    require(bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
                getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0,
            errno_text(ip) + " port " + std::to_string(asked));
    port = ntohs(addr.sin_port);
}
Udp::~Udp()
{
    close(fd);
}
std::string Udp::receive(sockaddr_in &from) const
{
    pollfd p{fd, POLLIN, 0};
    require(poll(&p, 1, 10000) == 1, "no datagram arrived");
    char buf[4096];
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &len);
    require(n >= 0, errno_text("recvfrom"));
    return std::string(buf, size_t(n));
}
void Udp::send(const std::string &data, const sockaddr_in &to) const
{
    ssize_t n = sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                       sizeof(to));
    ASSERT_EQ(n, ssize_t(data.size())) << errno_text("sendto");
}

// Makes one system call fail with a chosen errno in this process and in what it execs; false,
// with the reason in errno, where filters are refused (as under qemu-user).
static bool fail_syscall(long nr, int err)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, audit_arch, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(nr), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<__u32>(err) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs `attempt` in a forked child, so that what it changes stays there; returns what failed,
// empty where nothing did.
static std::string in_a_child(std::string (*attempt)())
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

Child::Child(const std::string &path, const Launch &launch)
{
    std::vector<std::string> env{"PATH=" + std::string(getenv("PATH") ? getenv("PATH") : "/bin")};
    env.insert(env.end(), launch.env.begin(), launch.env.end());
    std::vector<char *> argv{const_cast<char *>(path.c_str())}, envp;
    for (const auto &arg : launch.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    for (const auto &var : env)
        envp.push_back(const_cast<char *>(var.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int o[2], e[2];
    require(pipe2(o, O_CLOEXEC) == 0 && pipe2(e, O_CLOEXEC) == 0, errno_text("pipe2"));
    pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGPIPE, SIGINT, SIGTERM})
            signal(sig, sig == launch.ignored_signal ? SIG_IGN : SIG_DFL);
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int to = launch.stdout_path.empty()
                     ? o[1]
                     : open(launch.stdout_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (dup2(e[1], 2) < 0)
            _exit(126);
        if (in < 0 || to < 0 || dup2(in, 0) < 0 || dup2(to, 1) < 0 ||
            (launch.stdin_closed && close(0) != 0))
            perror("setting up the child's descriptors");
        else if (launch.failing_syscall >= 0 &&
                 !fail_syscall(launch.failing_syscall, launch.failing_errno))
            perror("installing the seccomp filter");
        else if (execve(path.c_str(), argv.data(), envp.data()) != 0)
            perror(path.c_str());
        _exit(127);
    }
    close(o[1]);
    close(e[1]);
    out = o[0];
    err = e[0];
    require(pid > 0, errno_text("fork"));
    pidfd = int(syscall(SYS_pidfd_open, pid, 0)); // none before Linux 5.3: polled for below
}

Child::~Child()
{
    if (pid > 0 && status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    for (int fd : {pidfd, out, err})
        close(fd);
}

bool Child::read_until(const char *text)
{
    for (;;) {
        if (text ? stdout_text.find(text) != std::string::npos : out < 0 && err < 0 && status != -1)
            return true;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        auto wait_ms =
            pidfd < 0 && status == -1 ? std::min<long long>(left.count(), 10) : left.count();
        pollfd fds[] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {pidfd, POLLIN, 0}};
        if ((text && out < 0) || left.count() <= 0 || poll(fds, 3, int(wait_ms)) < 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            char buf[4096];
            ssize_t n = fds[i].revents ? read(fds[i].fd, buf, sizeof(buf)) : -1;
            if (n > 0)
                (i ? stderr_text : stdout_text).append(buf, size_t(n));
            else if (fds[i].revents)
                close(std::exchange(i ? err : out, -1));
        }
        int reaped;
        if (status == -1 && (pidfd < 0 || fds[2].revents) &&
            waitpid(pid, &reaped, WNOHANG) == pid) {
            status = reaped;
            close(std::exchange(pidfd, -1));
        }
    }
}

void Child::wait_for(const std::string &text)
{
    ASSERT_TRUE(read_until(text.c_str()))
        << "waited for " << ::testing::PrintToString(text) << ", got "
        << ::testing::PrintToString(stdout_text) << "; " << how();
}

void Child::finish()
{
    if (!read_until(nullptr))
        ADD_FAILURE() << "still running at the deadline: killed; " << how();
}

int Child::code() const
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Child::how() const
{
    std::string ended = status == -1          ? "still running"
                        : WIFEXITED(status)   ? "exit status " + std::to_string(code())
                        : WIFSIGNALED(status) ? "killed by signal " + std::to_string(code() - 128)
                                              : "stopped";
    return ended + ", standard error " + ::testing::PrintToString(stderr_text);
}

void expect_ended(Child &child, const std::string &out, const std::string &err, int code)
{
    child.finish();
    EXPECT_EQ(child.stdout_text, out);
    EXPECT_EQ(child.stderr_text, err);
    EXPECT_EQ(child.code(), code);
}

std::string printed_for(const std::string &reply)
{
    std::string shown = reply.substr(0, 1024);
    return first + ("Server : " + shown.substr(0, shown.find('\0'))) + "\n";
}

void expect_demo_exchange(const std::string &bin, bool stdin_closed)
{
    Child peer(bin + "/greeting-peer", {.args = {"--once"}, .stdin_closed = stdin_closed});
    peer.wait_for(listening);
    Child client(bin + "/client", {.stdin_closed = stdin_closed});
    expect_ended(client, printed_for("Hello from greeting-peer"), "", 0);
    peer.finish();
    // The client's port is the system's choice.
    EXPECT_TRUE(std::regex_match(peer.stdout_text,
                                 std::regex(listening + std::string("greeting-peer: 17 bytes from "
                                                                    "127\\.0\\.0\\.1:[0-9]+: "
                                                                    "\"Hello from client\"\n"))))
        << peer.stdout_text;
    EXPECT_EQ(peer.stderr_text, "");
    EXPECT_EQ(peer.code(), 0);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

namespace
{

// Ends a guarded test at a fatal failure, even inside a helper, instead of letting it run on
// into a wait for what can no longer come.
struct EndTestOnFatalFailure : ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult &result) override
    {
        if (result.fatally_failed() && guarding)
            throw TestEnded{};
    }
};

// Takes the host's 127.0.0.1:8080 for the life of this process, if it is free. A host-wide
// lock keeps test processes from overlapping there: an abstract socket name works for any user
// and is released by the kernel however its holder ends.
void use_host_loopback(const std::string &why)
{
    printf("No private network namespace (%s): using the host's loopback.\n", why.c_str());
    int lock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un name{AF_UNIX, "\0greeting-udp-8080"};
    auto size = socklen_t(offsetof(sockaddr_un, sun_path) + sizeof("\0greeting-udp-8080") - 1);
    for (int tries = 0; bind(lock, reinterpret_cast<sockaddr *>(&name), size) != 0; ++tries) {
        if (errno != EADDRINUSE || tries == 1200) {
            network_problem = errno_text("waiting 60 s for the test lock @greeting-udp-8080");
            return;
        }
        usleep(50000);
    }
    int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in port = address("127.0.0.1", 8080);
    if (bind(probe, reinterpret_cast<sockaddr *>(&port), sizeof(port)) != 0 && errno == EADDRINUSE)
        network_problem = "no private network namespace, and the host's 127.0.0.1:8080 is taken";
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
    const char *host = getenv("GREETING_TEST_HOST_LOOPBACK");

    ::testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        // Both are tried in a child first: no-new-privs would stay for every later child, and a
        // namespace that can be made but not used would leave this process without a network.
        seccomp_problem =
            !audit_arch ? "no seccomp audit architecture for this CPU" : in_a_child([] {
                return fail_syscall(-1, 0) ? std::string()
                                           : errno_text("installing a seccomp filter");
            });
        auto enter = [] {
            bool moved;
            const char *failed = enter_private_network(moved);
            return failed ? errno_text(failed) : std::string();
        };
        std::string refused = host && *host ? "" : in_a_child(enter);
        if (host && *host)
            use_host_loopback("GREETING_TEST_HOST_LOOPBACK is set");
        else if (!refused.empty())
            use_host_loopback(refused);
        else
            network_problem = enter();
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new EndTestOnFatalFailure);
    return RUN_ALL_TESTS();
}
