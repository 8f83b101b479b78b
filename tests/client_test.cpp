// SPDX-License-Identifier: MIT
// Runs the built client and demo peer as real processes against real UDP sockets on
// 127.0.0.1:8080. Each test process moves into a network namespace of its own where it can, so
// that nothing else on the machine that uses port 8080 is touched; where it cannot, it runs on
// the host's loopback, one test process at a time and only while that port is free.
#include "private_network.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr bool strict = GREETING_STRICT_TESTS;
#ifndef GTEST_FLAG_GET // GoogleTest before 1.12
#define GTEST_FLAG_GET(name) ::testing::GTEST_FLAG(name)
#endif

// The audit architecture that the failure-injection filter expects; 0 where none is known.
#if defined(__x86_64__) && !defined(__ILP32__)
constexpr __u32 audit_arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr __u32 audit_arch = AUDIT_ARCH_AARCH64;
#else
constexpr __u32 audit_arch = 0;
#endif

std::string network_problem; // why the test processes cannot have 127.0.0.1:8080 to themselves
std::string seccomp_problem; // why no system call can be made to fail here

std::string errno_text(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

sockaddr_in address(const char *ip, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

// Checks that end the test at once, even from a helper or a constructor (see main).
void require(bool ok, const std::string &what)
{
    ASSERT_TRUE(ok) << what;
}

// Where the build asks for strict tests, a test that cannot run fails instead of skipping.
void skip_or_fail(const std::string &why)
{
    if (strict)
        FAIL() << why;
    GTEST_SKIP() << why;
}

struct Loopback : ::testing::Test {
    void SetUp() override
    {
        if (!network_problem.empty())
            skip_or_fail(network_problem);
    }
};
using Client = Loopback;
using GreetingPeer = Loopback;
// Installing and packaging both write their manifest into the build tree.
struct Installation : Loopback {
    void SetUp() override
    {
        Loopback::SetUp();
        if (access(BUILD_DIR, W_OK) != 0)
            GTEST_SKIP() << "cannot write the install manifest into " BUILD_DIR;
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
    std::string receive(sockaddr_in &from) const
    {
        pollfd p{fd, POLLIN, 0};
        require(poll(&p, 1, 10000) == 1, "no datagram arrived");
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

// Makes one system call fail with a chosen errno in this process and in what it execs; false,
// with the reason in errno, where filters are refused (as under qemu-user).
bool fail_syscall(long nr, int err)
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

struct Launch {
    std::vector<std::string> args = {};
    int ignored_signal = 0;    // else SIGPIPE, SIGINT and SIGTERM start at their default
    bool stdin_closed = false; // else /dev/null
    int stdout_fd = -1;        // else a pipe
    long failing_syscall = -1;
    int failing_errno = 0;
};

// A program started with a known signal state, its output read through pipes; one still
// running when its test ends is killed.
struct Child {
    pid_t pid = -1;
    int pidfd = -1, out = -1, err = -1;
    std::string stdout_text, stderr_text;
    int status = -1;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);

    Child(const std::string &path, const Launch &launch = {})
    {
        std::vector<char *> argv{const_cast<char *>(path.c_str())};
        for (const auto &arg : launch.args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
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
            if (in < 0 || dup2(in, 0) < 0 ||
                dup2(launch.stdout_fd < 0 ? o[1] : launch.stdout_fd, 1) < 0 || dup2(e[1], 2) < 0 ||
                (launch.stdin_closed && close(0) != 0))
                _exit(126);
            if (launch.failing_syscall >= 0 &&
                !fail_syscall(launch.failing_syscall, launch.failing_errno)) {
                perror("installing the seccomp filter");
                _exit(126);
            }
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out = o[0];
        err = e[0];
        require(pid > 0, errno_text("fork"));
        pidfd = int(syscall(SYS_pidfd_open, pid, 0)); // none before Linux 5.3: polled for below
    }
    ~Child()
    {
        if (pid > 0 && status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        for (int fd : {pidfd, out, err})
            close(fd);
    }
    // Reads until standard output holds `text` or, with none, until the child has closed both
    // pipes and exited; false at the deadline or once the text can no longer come.
    bool read_until(const char *text)
    {
        for (;;) {
            if (text ? stdout_text.find(text) != std::string::npos
                     : out < 0 && err < 0 && status != -1)
                return true;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
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
    void wait_for(const std::string &text)
    {
        ASSERT_TRUE(read_until(text.c_str())) << "waited for " << ::testing::PrintToString(text)
                                              << ", got " << ::testing::PrintToString(stdout_text);
    }
    void finish()
    {
        if (!read_until(nullptr))
            ADD_FAILURE() << "still running at the deadline: killed";
    }
    int code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }
};

const std::string first = "Hello message sent.\n";

std::string failed(const char *what, int error)
{
    return std::string(what) + ": " + strerror(error) + "\n";
}

// Waits for the end of `child` and checks all that it wrote and how it ended.
void expect_ended(Child &child, const std::string &out, const std::string &err, int code)
{
    child.finish();
    EXPECT_EQ(child.stdout_text, out);
    EXPECT_EQ(child.stderr_text, err);
    EXPECT_EQ(child.code(), code);
}

// What the client prints for a reply: its first 1024 bytes, up to the first zero byte.
std::string printed_for(const std::string &reply)
{
    std::string shown = reply.substr(0, 1024);
    return first + "Server : " + shown.substr(0, shown.find('\0')) + "\n";
}

// One whole run of the client against a test peer that answers `reply`.
struct Exchange {
    std::string greeting;
    sockaddr_in from{};
    Child child;
    Exchange(const Udp &peer, const std::string &reply, const Launch &launch = {})
        : child(BIN_DIR "/client", launch)
    {
        greeting = peer.receive(from);
        peer.send(reply, from);
        child.finish();
    }
};

// A directory under /tmp, removed with all it holds however the test ends.
struct TempDir {
    std::string path = "/tmp/greeting-test-XXXXXX";
    TempDir() { require(mkdtemp(path.data()), errno_text("mkdtemp")); }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

// Reads numbers from a file of /proc.
template <typename... Number> void scan(const std::string &path, const char *format, Number *...out)
{
    FILE *f = fopen(path.c_str(), "r");
    require(f && fscanf(f, format, out...) == int(sizeof...(out)), errno_text(path.c_str()));
    fclose(f);
}

TEST_F(Client, SendsTheGreetingAndPrintsEveryReplyAsReceived)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(tmpfile(), fclose);
    ASSERT_TRUE(file) << errno_text("tmpfile");
    const Launch launches[] = {
        {},
        {.args = {"--help"}},
        {.args = {"-p", "9090", "127.0.0.2", ""}},
        {.stdout_fd = fileno(file.get())},
    };
    std::vector<std::string> replies = {
        "hi there",
        "",
        std::string("before\0after", 12),
        std::string(1024, 'y') + "beyond the limit",
        std::string(1024, 'x'),
        "ends with a newline\n",
        "\x1b[1mraw escape\x1b[0m\r\t\x7f\xff",
    };
    const size_t shapes = replies.size();
    const unsigned zero_odds[] = {0, 2000, 60};
    std::mt19937 random(20261208);
    std::uniform_int_distribution<size_t> length(0, 2100);
    std::uniform_int_distribution<int> byte(1, 255);
    for (unsigned i = 0; i < 200; ++i) {
        std::string &reply = replies.emplace_back(length(random), '\0');
        for (char &c : reply)
            c = zero_odds[i % 3] && random() % zero_odds[i % 3] == 0 ? '\0' : char(byte(random));
    }
    int low, high;
    scan("/proc/sys/net/ipv4/ip_local_port_range", "%d %d", &low, &high);
    Udp peer("127.0.0.1", 8080);
    for (size_t i = 0; i < replies.size() && !HasFailure(); ++i) {
        const Launch &launch = launches[i < std::size(launches) ? i : 0];
        SCOPED_TRACE("reply " + std::to_string(i) + (i < shapes ? "" : " (seed 20261208)") +
                     ", arguments " + ::testing::PrintToString(launch.args) +
                     (launch.stdout_fd < 0 ? "" : ", output to a file"));
        Exchange run(peer, replies[i], launch);
        EXPECT_EQ(run.greeting, std::string("Hello from client"));
        EXPECT_EQ(run.from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_GE(ntohs(run.from.sin_port), low);
        EXPECT_LE(ntohs(run.from.sin_port), high);
        if (launch.stdout_fd >= 0) {
            char buf[2048] = {};
            ASSERT_GE(pread(launch.stdout_fd, buf, sizeof(buf) - 1, 0), 0);
            run.child.stdout_text = buf;
        }
        expect_ended(run.child, printed_for(replies[i]), "", 0);
    }
}

TEST_F(Client, EndsEachRunAsItsUsersExpect)
{
    std::unique_ptr<FILE, int (*)(FILE *)> full(fopen("/dev/full", "w"), fclose);
    ASSERT_TRUE(full) << errno_text("/dev/full");
    Udp peer("127.0.0.1", 8080), stranger("127.0.0.2", 0);
    auto silent = [](Child &, const sockaddr_in &) {};
    auto stranger_first = [&](Child &, const sockaddr_in &to) { stranger.send("stranger", to); };
    auto late = [&](Child &client, const sockaddr_in &to) {
        client.wait_for(first);
        peer.send("late", to);
    };
    auto reader_gone = [&](Child &client, const sockaddr_in &to) {
        client.wait_for(first);
        close(std::exchange(client.out, -1));
        peer.send("nobody reads this", to);
    };
    struct Row {
        const char *name;
        Launch launch;
        std::function<void(Child &, const sockaddr_in &)> meanwhile; // after the greeting, if any
        std::string out, err;
        int exit_code;
    } rows[] = {
        // clang-format off
        {"takes the first datagram, from any sender", {}, stranger_first, printed_for("stranger"),
         "", 0},
        {"writes the first line before the reply", {}, late, printed_for("late"), "", 0},
        {"dies of SIGPIPE when its reader goes away", {}, reader_gone, first, "", 128 + SIGPIPE},
        {"says so when its reader goes away with SIGPIPE ignored", {.ignored_signal = SIGPIPE},
         reader_gone, first, failed("write to standard output failed", EPIPE), 1},
        {"cannot write standard output", {.stdout_fd = fileno(full.get())}, silent, "",
         failed("write to standard output failed", ENOSPC), 1},
        // clang-format on
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Child client(BIN_DIR "/client", row.launch);
        sockaddr_in to;
        peer.receive(to);
        row.meanwhile(client, to);
        expect_ended(client, row.out, row.err, row.exit_code);
    }
}

// No reply is ever sent: each failure must end the run by itself.
TEST_F(Client, EndsByItselfWhenASystemCallFails)
{
    if (!seccomp_problem.empty())
        skip_or_fail("failures cannot be injected: " + seccomp_problem);
    Udp peer("127.0.0.1", 8080);
    struct Row {
        const char *name;
        long syscall;
        int error;
        bool greets; // the greeting, and the first line, come before the failure
        std::string err;
    } rows[] = {
        {"has no socket", SYS_socket, EACCES, false, failed("socket creation failed", EACCES)},
        {"cannot send", SYS_sendto, ENETUNREACH, false, failed("send failed", ENETUNREACH)},
        {"cannot receive", SYS_recvfrom, ECONNREFUSED, true,
         failed("receive failed", ECONNREFUSED)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Child client(BIN_DIR "/client",
                     {.failing_syscall = row.syscall, .failing_errno = row.error});
        sockaddr_in to;
        if (row.greets)
            peer.receive(to);
        expect_ended(client, row.greets ? first : "", row.err, 1);
    }
}

const std::string listening = "greeting-peer: listening on 127.0.0.1:8080\n";

// A whole exchange between a client and a demo peer from `bin`, both started as a user would.
void expect_demo_exchange(const std::string &bin, bool stdin_closed = false)
{
    Child peer(bin + "/greeting-peer", {.args = {"--once"}, .stdin_closed = stdin_closed});
    peer.wait_for(listening);
    Child client(bin + "/client", {.stdin_closed = stdin_closed});
    expect_ended(client, printed_for("Hello from greeting-peer"), "", 0);
    peer.finish();
    EXPECT_NE(peer.stdout_text.find(" 17 bytes from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(peer.stdout_text.find(": \"Hello from client\"\n"), std::string::npos);
    EXPECT_EQ(peer.code(), 0);
}

TEST_F(GreetingPeer, AnswersTheClient)
{
    for (bool stdin_closed : {false, true}) {
        SCOPED_TRACE(stdin_closed ? "both started with standard input closed" : "as started");
        expect_demo_exchange(BIN_DIR, stdin_closed);
    }
}

// The line the peer prints for a datagram from 127.0.0.3:`port`.
std::string report(const std::string &datagram, uint16_t port)
{
    std::string line = "greeting-peer: " + std::to_string(datagram.size()) +
                       " bytes from 127.0.0.3:" + std::to_string(port) + ": \"";
    for (unsigned char c : datagram) {
        char shown[5] = {'\\', char(c)};
        if (c != '"' && c != '\\')
            snprintf(shown, sizeof(shown), c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c);
        line += shown;
    }
    return line + "\"\n";
}

TEST_F(GreetingPeer, ServesAsItsUsersExpect)
{
    std::string every_byte(256, '\0');
    for (size_t i = 0; i < every_byte.size(); ++i)
        every_byte[i] = char(i);
    auto beside = [](Child &) { Udp other_address("127.0.0.2", 8080); };
    auto second_peer = [](Child &) {
        Child second(BIN_DIR "/greeting-peer");
        expect_ended(second, "", "greeting-peer: 127.0.0.1:8080 is already in use\n", 1);
    };
    auto idle = [](Child &peer) {
        const std::string stat = "/proc/" + std::to_string(peer.pid) + "/stat";
        const char *cpu = "%*d (%*[^)]) %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld";
        long user[2], system[2];
        scan(stat, cpu, &user[0], &system[0]);
        pollfd p{peer.out, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 500), 0) << "printed something while idle";
        scan(stat, cpu, &user[1], &system[1]);
        EXPECT_LT(user[1] + system[1] - user[0] - system[0], sysconf(_SC_CLK_TCK) / 20);
    };
    const std::string usage = "usage: greeting-peer [--once] [--help] [--version]\n",
                      try_help = usage + "Try 'greeting-peer --help' for more information.\n",
                      version = "greeting-peer (greeting) " VERSION "\n";
    auto interrupt = [](Child &peer) { kill(peer.pid, SIGINT); };
    struct Row {
        const char *name;
        Launch launch;
        std::vector<std::string> datagrams;          // each reported and answered
        std::function<void(Child &)> meanwhile = {}; // once it listens, before the datagrams
        int stop_signal = SIGTERM;
        int exit_code = 0;
        std::string out = listening, err = ""; // the start of standard output; all of stderr
    } rows[] = {
        {"keeps answering without --once", {}, {"one", "two"}},
        {"shows what it cannot print escaped", {}, {every_byte}},
        {"reports empty and long datagrams whole", {}, {"", std::string(2000, 'z')}},
        {"binds 127.0.0.1 only", {}, {"x"}, beside},
        {"refuses a second peer and serves on", {}, {"still there"}, second_peer},
        {"rests while idle", {}, {}, idle},
        {"refuses an unknown argument", {.args = {"--bogus"}}, {}, {}, 0, 2, "", try_help},
        {"shows its usage", {.args = {"--help"}}, {}, {}, 0, 0, usage},
        {"shows its version", {.args = {"--version"}}, {}, {}, 0, 0, version},
        {"dies of SIGINT, which stops a shell loop", {}, {"x"}, {}, SIGINT, 128 + SIGINT},
        {"leaves SIGINT ignored as it found it", {.ignored_signal = SIGINT}, {"x"}, interrupt},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Child peer(BIN_DIR "/greeting-peer", row.launch);
        if (row.out == listening) {
            peer.wait_for(listening);
            if (row.meanwhile)
                row.meanwhile(peer);
            Udp sender("127.0.0.3", 0);
            for (const auto &datagram : row.datagrams) {
                sender.send(datagram, address("127.0.0.1", 8080));
                sockaddr_in from;
                EXPECT_EQ(sender.receive(from), "Hello from greeting-peer");
                peer.wait_for(report(datagram, sender.port));
            }
            kill(peer.pid, row.stop_signal);
        }
        peer.finish();
        EXPECT_EQ(peer.stdout_text.substr(0, row.out.size()), row.out);
        EXPECT_EQ(peer.stdout_text.find(listening) == 0, row.out == listening);
        EXPECT_EQ(peer.stderr_text, row.err);
        EXPECT_EQ(peer.code(), row.exit_code);
    }
}

TEST_F(Installation, InstalledProgramsAndManualPagesWork)
{
    TempDir prefix;
    // One component only, so that the install_manifest.txt of a user's own install is kept.
    Child install(CMAKE_PATH, {.args = {"--install", BUILD_DIR, "--component", "greeting",
                                        "--prefix", prefix.path}});
    install.finish();
    ASSERT_EQ(install.code(), 0) << install.stderr_text;
    expect_demo_exchange(prefix.path + "/bin");

    if (access(MAN_PATH, X_OK) != 0)
        skip_or_fail("man is not installed");
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("MANROFFSEQ", "", 1);
    setenv("MANWIDTH", "80", 1);
    for (std::string page : {"client", "greeting-peer"}) {
        SCOPED_TRACE(page);
        Child man(MAN_PATH, {.args = {"--warnings", "-E", "UTF-8", "-l",
                                      prefix.path + "/share/man/man1/" + page + ".1"}});
        man.finish();
        EXPECT_EQ(man.stderr_text, "");
        EXPECT_EQ(man.code(), 0);
        EXPECT_NE(man.stdout_text.find("greeting " VERSION), std::string::npos);
        for (std::string section : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS",
                                    page == "client" ? "EXAMPLES" : "OPTIONS", "SEE ALSO"})
            EXPECT_NE(man.stdout_text.find("\n" + section + "\n"), std::string::npos) << section;
    }
}

TEST_F(Installation, PackagedProgramsWork)
{
    if (access(DPKG_BUILDPACKAGE_PATH, X_OK) != 0 || access(DH_PATH, X_OK) != 0)
        skip_or_fail("dpkg-dev and debhelper are needed to build the Debian package");
    // Built from a copy of the sources, without its tests (these) nor their build dependencies.
    TempDir dir;
    std::filesystem::create_directory(dir.path + "/src");
    for (const auto &entry : std::filesystem::directory_iterator(SOURCE_DIR)) {
        const std::string name = entry.path().filename();
        if (name != ".git" && name != "out" && name != "build" && name.rfind("obj-", 0) != 0)
            std::filesystem::copy(entry, dir.path + "/src/" + name,
                                  std::filesystem::copy_options::recursive);
    }
    Child build("/usr/bin/env",
                {.args = {"-C", dir.path + "/src", "DEB_BUILD_OPTIONS=nocheck noddebs",
                          DPKG_BUILDPACKAGE_PATH, "-us", "-uc", "-b", "-d"}});
    build.deadline += std::chrono::seconds(290); // compiling under qemu-user is slow
    build.finish();
    ASSERT_EQ(build.code(), 0) << build.stdout_text << build.stderr_text;
    // Unpacked, never installed: the machine's own package database is left alone.
    Child unpack("/bin/sh", {.args = {"-c", DPKG_DEB_PATH " -x $0/*.deb $0/root", dir.path}});
    unpack.finish();
    ASSERT_EQ(unpack.code(), 0) << unpack.stderr_text;
    expect_demo_exchange(dir.path + "/root/usr/bin");
}

// Ends a test at a failed assertion or a skip even inside a helper, instead of letting it run
// on into a wait for what can no longer come.
struct EndTestOnFatalFailure : ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult &result) override
    {
        if (result.fatally_failed() || result.skipped())
            throw ::testing::AssertionException(result);
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
    // Whatever the parent left, children see descriptors 0 to 2, only its PATH, and can be
    // waited for.
    int fd;
    while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd < 3) {
    }
    close(fd);
    const char *path = getenv("PATH"), *host = getenv("GREETING_TEST_HOST_LOOPBACK");
    const std::string saved_path = path ? path : "/usr/bin:/bin";
    const bool use_host = host && *host;
    clearenv();
    setenv("PATH", saved_path.c_str(), 1);
    signal(SIGCHLD, SIG_DFL);

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
        std::string refused = use_host ? "" : in_a_child(enter);
        if (use_host)
            use_host_loopback("GREETING_TEST_HOST_LOOPBACK is set");
        else if (!refused.empty())
            use_host_loopback(refused);
        else
            network_problem = enter();
    }
    ::testing::UnitTest::GetInstance()->listeners().Append(new EndTestOnFatalFailure);
    return RUN_ALL_TESTS();
}
