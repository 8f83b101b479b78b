// SPDX-License-Identifier: MIT
// What the tests share: the built programs, run as real processes against real UDP sockets on
// 127.0.0.1:8080 in a network namespace of the test process's own (see harness.cpp).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#if GREETING_SECCOMP
#include <seccomp.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#ifndef GTEST_FLAG_GET // GoogleTest before 1.12
#define GTEST_FLAG_GET(name) ::testing::GTEST_FLAG(name)
#endif

inline std::string network_problem; // why this process cannot have 127.0.0.1:8080 to itself
inline std::string seccomp_problem; // why no system call can be made to fail here
inline bool guarding = false;       // a fatal failure throws TestEnded (see guarded)

inline std::string errno_text(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}
inline std::string failed(const char *what, int error)
{
    return std::string(what) + ": " + strerror(error) + "\n";
}

// A text as a failure shows it: quoted, and cut short where long.
inline std::string shown(const std::string &text)
{
    return ::testing::PrintToString(text.substr(0, 300)) +
           (text.size() > 300 ? " and " + std::to_string(text.size() - 300) + " bytes more" : "");
}

inline std::string env_or(const char *name, const char *otherwise)
{
    const char *value = getenv(name);
    return value && *value ? value : otherwise;
}

inline sockaddr_in address(const char *ip, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

// Checks that end the test at once, even from a helper or a constructor, in a guarded body.
inline void require(bool ok, const std::string &what)
{
    ASSERT_TRUE(ok) << what;
}

// Runs a test body so that a fatal failure anywhere in it ends it at once, and the children it
// started are killed on the way out, whether or not GoogleTest catches exceptions.
struct TestEnded {
};
template <typename Body> void guarded(Body body)
{
    guarding = true;
    try {
        body();
    } catch (const TestEnded &) {
    }
    guarding = false;
}

// Where the build asks for strict tests, a test that cannot run fails instead of skipping.
#define SKIP_OR_FAIL(why)                                                                          \
    do {                                                                                           \
        if (GREETING_STRICT_TESTS)                                                                 \
            GTEST_FAIL() << (why);                                                                 \
        GTEST_SKIP() << (why);                                                                     \
    } while (0)

// Makes system call `nr` (if any) fail with `err` here and in what this execs, also through
// socketcall(2); false, with errno set, where filters are refused (as under qemu-user).
inline bool fail_syscall(long nr, int err)
{
#if GREETING_SECCOMP
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW); // on failure, the calls below fail
    int failed = seccomp_attr_set(filter, SCMP_FLTATR_API_SYSRAWRC, 1); // the kernel's errno
    failed = failed || nr < 0 ? failed : seccomp_rule_add(filter, SCMP_ACT_ERRNO(err), int(nr), 0);
    failed = failed ? failed : seccomp_load(filter);
    seccomp_release(filter);
    errno = -failed;
    return !failed;
#else
    return nr < 0 && err < 0; // never called: the cases that would call it skip
#endif
}

enum class Out { pipe, terminal, full_pipe }; // read by the test (a terminal in raw mode), or not
struct Launch {
    std::vector<std::string> args = {};
    std::vector<std::string> env = {}; // besides PATH, which every child gets
    int ignored_signal = 0;            // else SIGPIPE, SIGINT and SIGTERM start at their default
    std::vector<int> closed = {};      // standard descriptors that start closed; 0 is /dev/null
    std::string stdout_path = {};      // else `output`; standard error is a pipe
    Out output = Out::pipe;
    rlim_t fd_limit = 0; // where not 0, RLIMIT_NOFILE
    long failing_syscall = -1;
    int failing_errno = 0;
};

struct Loopback : ::testing::Test {
    void SetUp() override
    {
        if (!network_problem.empty())
            SKIP_OR_FAIL(network_problem);
    }
    // Filters refused mean qemu-user in practice, whose own descriptors leave no room for a limit
    // of 3; a build without libseccomp cannot tell it apart, so both kinds of case skip together.
    void require_injection(const Launch &launch)
    {
        if ((launch.failing_syscall >= 0 || launch.fd_limit) && !seccomp_problem.empty())
            SKIP_OR_FAIL("failures cannot be injected: " + seccomp_problem);
    }
};

// The fixture of a table of cases, each named after its row (and printed so, by its PrintTo).
template <typename Row> struct Cases : Loopback, ::testing::WithParamInterface<Row> {
    void SetUp() override
    {
        Loopback::SetUp();
        require_injection(this->GetParam().launch);
    }
};
inline auto row_name = [](const auto &info) { return std::string(info.param.name); };

// A program started with a known signal state and environment, its output read as it comes;
// one still running when its test ends is killed.
struct Child {
    pid_t pid = -1;
    int out = -1, err = -1;
    int stalled = -1; // the reading end of standard output, held open and never read
    std::string stdout_text, stderr_text;
    const char *overflowed = nullptr;
    int status = -1;
    const std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point deadline = started + std::chrono::seconds(10);

    Child(const std::string &path, const Launch &launch = {})
    {
        std::vector<std::string> env{"PATH=" + env_or("PATH", "/usr/bin:/bin")};
        env.insert(env.end(), launch.env.begin(), launch.env.end());
        std::vector<char *> argv{const_cast<char *>(path.c_str())}, envp;
        for (const auto &arg : launch.args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        for (const auto &var : env)
            envp.push_back(const_cast<char *>(var.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int o[2], e[2];
        require(pipe2(e, O_CLOEXEC) == 0, errno_text("pipe2"));
        if (termios raw; launch.output == Out::terminal) {
            require(openpty(&o[0], &o[1], nullptr, nullptr, nullptr) == 0 &&
                        tcgetattr(o[1], &raw) == 0 && fcntl(o[0], F_SETFD, FD_CLOEXEC) == 0,
                    errno_text("openpty"));
            cfmakeraw(&raw);
            tcsetattr(o[1], TCSANOW, &raw);
            fcntl(o[1], F_SETFD, FD_CLOEXEC);
        } else {
            require(pipe2(o, O_CLOEXEC) == 0, errno_text("pipe2"));
        }
        if (launch.output == Out::full_pipe) {
            static const char fill[1 << 16] = {};
            fcntl(o[1], F_SETFL, O_NONBLOCK);
            for (int i = 0; i < 64 && write(o[1], fill, sizeof(fill)) > 0; ++i) {
            }
            fcntl(o[1], F_SETFL, 0);
            stalled = std::exchange(o[0], -1);
        }
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
            bool set =
                dup2(e[1], 2) == 2 && in >= 0 && to >= 0 && dup2(in, 0) == 0 && dup2(to, 1) == 1;
            for (int fd : launch.closed)
                set = set && close(fd) == 0;
            rlimit limit{launch.fd_limit, launch.fd_limit};
            if (!set || (launch.fd_limit && setrlimit(RLIMIT_NOFILE, &limit) != 0))
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
    }
    ~Child()
    {
        if (pid > 0 && status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        for (int fd : {out, err, stalled})
            close(fd);
    }
    // Reads until standard output holds `text` or, with none, until both pipes are at their end
    // and the child is reaped; false at the deadline, once the text can no longer come, or once
    // a stream passes 1 MiB (`overflowed` names it).
    bool read_until(const char *text)
    {
        using namespace std::chrono;
        auto done = [&] {
            return text ? stdout_text.find(text) != std::string::npos : out < 0 && err < 0;
        };
        for (bool late = false; !done();) {
            if (late || (text && out < 0) || overflowed)
                return false;
            auto left = ceil<milliseconds>(deadline - steady_clock::now()).count();
            late = left <= 0; // past the deadline, one last look at what has come by now
            pollfd fds[] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
            if (poll(fds, 2, int(std::max<long long>(left, 0))) < 0)
                return false;
            for (int i = 0; i < 2; ++i) {
                char buf[4096];
                ssize_t n = fds[i].revents ? read(fds[i].fd, buf, sizeof(buf)) : -1;
                std::string &text_read = i ? stderr_text : stdout_text;
                if (n > 0 && text_read.size() + size_t(n) > (1 << 20))
                    overflowed = i ? "standard error" : "standard output";
                else if (n > 0)
                    text_read.append(buf, size_t(n));
                else if (fds[i].revents)
                    close(std::exchange(i ? err : out, -1));
            }
        }
        for (int reaped; !text && status == -1;) { // the pipes' end: it has ended, or soon will
            if (waitpid(pid, &reaped, WNOHANG) == pid)
                status = reaped;
            else if (steady_clock::now() >= deadline || poll(nullptr, 0, 1) < 0)
                return false;
        }
        return true;
    }
    void wait_for(const std::string &text)
    {
        require(read_until(text.c_str()),
                "waited for " + shown(text) + ", got " + shown(stdout_text) + "; " + how());
    }
    // Ends the test, and the child, at the deadline or where a stream passes 1 MiB.
    void finish()
    {
        if (read_until(nullptr))
            return;
        kill(pid, SIGKILL);
        auto limit = std::to_string((deadline - started) / std::chrono::seconds(1));
        require(false,
                (overflowed ? overflowed + std::string(" passed 1 MiB")
                            : "still running at its deadline, " + limit + " s after it started") +
                    ": killed; " + how());
    }
    int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }
    // How it ended, and what it wrote on standard error.
    std::string how() const
    {
        std::string ended = status == -1 ? "still running" : "status " + std::to_string(code());
        return ended + ", standard error " + shown(stderr_text);
    }
};

struct Udp {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port; // the one bound, also where 0 was asked for
    Udp(const char *ip, uint16_t asked)
    {
        sockaddr_in addr = address(ip, asked);
        socklen_t len = sizeof(addr);
        require(bind(fd, reinterpret_cast<sockaddr *>(&addr), len) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0,
                errno_text(ip) + " port " + std::to_string(asked));
        port = ntohs(addr.sin_port);
    }
    ~Udp() { close(fd); }
    // Waits for a datagram; where none comes, the failure shows how `sender`, if given, ended.
    std::string receive(sockaddr_in &from, Child *sender = nullptr) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1 && sender)
            sender->finish();
        require(p.revents, "no datagram arrived" + (sender ? "; " + sender->how() : ""));
        char buf[4096];
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &len);
        require(n >= 0, errno_text("recvfrom"));
        return std::string(buf, size_t(n));
    }
    void send(const std::string &data, const sockaddr_in &to) const
    {
        ssize_t n = sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                           sizeof(to));
        ASSERT_EQ(n, ssize_t(data.size())) << errno_text("sendto");
    }
};

// Waits for the end of `child` and checks all that it wrote and how it ended.
inline void expect_ended(Child &child, const std::string &out, const std::string &err, int code)
{
    child.finish();
    EXPECT_EQ(child.stdout_text, out);
    EXPECT_EQ(child.stderr_text, err);
    EXPECT_EQ(child.code(), code);
}

// What the client prints for a reply: its first 1024 bytes, up to the first zero byte.
constexpr char first[] = "Hello message sent.\n";
inline std::string printed_for(const std::string &reply)
{
    std::string shown = reply.substr(0, 1024);
    return first + ("Server : " + shown.substr(0, shown.find('\0'))) + "\n";
}

// A directory under $TMPDIR (else /tmp), removed with all it holds however the test ends.
struct TempDir {
    std::string path = env_or("TMPDIR", "/tmp") + "/greeting-test-XXXXXX";
    TempDir() { require(mkdtemp(path.data()), errno_text("mkdtemp")); }
    ~TempDir() { std::filesystem::remove_all(path, ignored); }
    std::error_code ignored;
};

// While a program runs, none of its sockets or signal descriptors stands in for a standard
// descriptor, closed or not.
inline void expect_standard_descriptors(pid_t pid)
{
    for (int fd = 0; fd <= 2; ++fd) {
        auto link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
        std::error_code closed;
        auto target = std::filesystem::read_symlink(link, closed).string();
        EXPECT_TRUE(target.rfind("socket:", 0) && target.rfind("anon_inode:", 0)) << target;
    }
}

// Reads numbers from a file of /proc.
template <typename... Number> void scan(const std::string &path, const char *format, Number *...out)
{
    FILE *f = fopen(path.c_str(), "r");
    require(f && fscanf(f, format, out...) == int(sizeof...(out)), errno_text(path.c_str()));
    fclose(f);
}

// A whole exchange between a client and a demo peer from `bin`, both started as a user would.
constexpr char listening[] = "greeting-peer: listening on 127.0.0.1:8080\n";
inline void expect_demo_exchange(const std::string &bin)
{
    Child peer(bin + "/greeting-peer", {.args = {"--once"}});
    peer.wait_for(listening);
    Child client(bin + "/client");
    expect_ended(client, printed_for("Hello from greeting-peer"), "", 0);
    peer.finish();
    // The client's port is the system's choice.
    const std::string report =
        R"(greeting-peer: 17 bytes from 127\.0\.0\.1:\d+: "Hello from client"\n)";
    EXPECT_TRUE(std::regex_match(peer.stdout_text, std::regex(listening + report)))
        << peer.stdout_text;
    EXPECT_EQ(peer.stderr_text, "");
    EXPECT_EQ(peer.code(), 0);
}
