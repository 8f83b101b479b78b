// Runs the built client and the demo peer as real processes against real UDP
// sockets on 127.0.0.1:8080, inside a network namespace private to this test
// process, so that nothing else on the machine that uses port 8080 is touched.
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
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
constexpr auto deadline_after = std::chrono::seconds(10);

std::string netns_problem; // why this process has no private network namespace

std::string errno_text(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

class Netns : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (netns_problem.empty())
            return;
        if (getenv("CI"))
            FAIL() << "no private network namespace: " << netns_problem;
        GTEST_SKIP() << "no private network namespace: " << netns_problem;
    }
};

sockaddr_in address(const char *ip, uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

struct Udp {
    int fd = -1;
    Udp(const char *ip, uint16_t port)
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = address(ip, port);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
            ADD_FAILURE() << errno_text("binding a test socket");
    }
    ~Udp()
    {
        close(fd);
    }
    Udp(const Udp &) = delete;
    Udp &operator=(const Udp &) = delete;

    bool receive(std::string &data, sockaddr_in &from, int timeout_ms = 10000) const
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1)
            return false;
        char buf[4096];
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            return false;
        data.assign(buf, size_t(n));
        return true;
    }
    void send(const std::string &data, const sockaddr_in &to) const
    {
        ssize_t n = sendto(fd, data.data(), data.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                           sizeof(to));
        ASSERT_EQ(n, ssize_t(data.size())) << errno_text("sendto");
    }
};

// Makes one system call fail with a chosen errno in this process and in what it execs.
void fail_syscall(long nr, int err)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(nr), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<__u32>(err) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
        perror("installing the seccomp filter");
        _exit(126);
    }
}

struct Launch {
    std::vector<std::string> args;
    long failing_syscall = -1;
    int failing_errno = 0;
    const char *stdout_path = nullptr; // a pipe when null
    bool ignore_sigpipe = false;
};

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string stdout_text, stderr_text;
    int status = -1;
    Clock::time_point deadline = Clock::now() + deadline_after;
};

Child spawn(const char *path, const Launch &launch = {})
{
    std::vector<char *> argv{const_cast<char *>(path)};
    for (const auto &arg : launch.args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        ADD_FAILURE() << errno_text("pipe2");
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        int target = launch.stdout_path ? open(launch.stdout_path, O_WRONLY) : out[1];
        if (target < 0 || dup2(target, 1) < 0 || dup2(err[1], 2) < 0)
            _exit(126);
        if (launch.ignore_sigpipe)
            signal(SIGPIPE, SIG_IGN);
        if (launch.failing_syscall >= 0)
            fail_syscall(launch.failing_syscall, launch.failing_errno);
        execv(path, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

int ms_left(const Child &child)
{
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(child.deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

// Reads the child's standard output until it holds `text`, or the deadline.
bool wait_for_output(Child &child, const std::string &text)
{
    while (child.stdout_text.find(text) == std::string::npos) {
        pollfd p{child.out, POLLIN, 0};
        char buf[4096];
        ssize_t n;
        if (poll(&p, 1, ms_left(child)) != 1 || (n = read(child.out, buf, sizeof(buf))) <= 0)
            return false;
        child.stdout_text.append(buf, size_t(n));
    }
    return true;
}

// Collects all output and the exit status; a child still running at its deadline is killed.
void finish(Child &child)
{
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    std::string *texts[2] = {&child.stdout_text, &child.stderr_text};
    int open_pipes = 2;
    while (open_pipes > 0 && poll(fds, 2, ms_left(child)) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents)
                continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                texts[i]->append(buf, size_t(n));
            } else {
                fds[i].fd = -1;
                --open_pipes;
            }
        }
    }
    if (open_pipes > 0) {
        ADD_FAILURE() << "still running at the deadline: killed";
        kill(child.pid, SIGKILL);
    }
    waitpid(child.pid, &child.status, 0);
    close(child.out);
    close(child.err);
}

int exit_code(const Child &child)
{
    return WIFEXITED(child.status) ? WEXITSTATUS(child.status) : 128 + WTERMSIG(child.status);
}

std::string printed_for(const std::string &reply)
{
    std::string shown = reply.substr(0, 1024);
    return "Hello message sent.\nServer : " + shown.substr(0, shown.find('\0')) + "\n";
}

// One whole run of the client against a test peer that answers `reply`.
struct Exchange {
    std::string greeting;
    sockaddr_in from{};
    Child child;
};

Exchange run_client(const Udp &peer, const std::string &reply, const Launch &launch = {})
{
    Exchange run;
    run.child = spawn(CLIENT_PATH, launch);
    if (peer.receive(run.greeting, run.from))
        peer.send(reply, run.from);
    else
        ADD_FAILURE() << "no greeting arrived";
    finish(run.child);
    return run;
}

std::pair<int, int> ephemeral_ports()
{
    int low = 0, high = 0;
    FILE *f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r");
    if (f) {
        if (fscanf(f, "%d %d", &low, &high) != 2)
            low = high = 0;
        fclose(f);
    }
    return {low, high};
}

TEST_F(Netns, SendsTheGreetingAndPrintsTheReply)
{
    char file_template[] = "/tmp/client-stdout-XXXXXX";
    int file = mkstemp(file_template);
    ASSERT_GE(file, 0);
    struct Case {
        std::vector<std::string> args;
        const char *stdout_path;
    } cases[] = {
        {{}, nullptr},
        {{"--help"}, nullptr},
        {{"-p", "9090", "127.0.0.2", ""}, nullptr},
        {{}, file_template},
    };
    auto [low, high] = ephemeral_ports();
    Udp peer("127.0.0.1", 8080);
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args) + (c.stdout_path ? " > file" : ""));
        Launch launch;
        launch.args = c.args;
        launch.stdout_path = c.stdout_path;
        Exchange run = run_client(peer, "hi there", launch);
        EXPECT_EQ(run.greeting, std::string("Hello from client"));
        EXPECT_EQ(run.from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_GE(ntohs(run.from.sin_port), low);
        EXPECT_LE(ntohs(run.from.sin_port), high);
        if (c.stdout_path) {
            char buf[256] = {};
            ASSERT_GE(pread(file, buf, sizeof(buf) - 1, 0), 0);
            run.child.stdout_text = buf;
        }
        EXPECT_EQ(run.child.stdout_text, printed_for("hi there"));
        EXPECT_EQ(run.child.stderr_text, "");
        EXPECT_EQ(exit_code(run.child), 0);
    }
    close(file);
    unlink(file_template);
}

TEST_F(Netns, PrintsEveryShapeOfReplyAsReceived)
{
    const std::string cases[] = {
        "",
        std::string("before\0after", 12),
        std::string(1024, 'x'),
        std::string(1024, 'y') + "beyond the limit",
        "ends with a newline\n",
        "\x1b[1mraw escape\x1b[0m\r\t\x7f\xff",
    };
    Udp peer("127.0.0.1", 8080);
    for (const auto &reply : cases) {
        SCOPED_TRACE(::testing::PrintToString(reply));
        Exchange run = run_client(peer, reply);
        EXPECT_EQ(run.child.stdout_text, printed_for(reply));
        EXPECT_EQ(run.child.stderr_text, "");
        EXPECT_EQ(exit_code(run.child), 0);
    }
}

TEST_F(Netns, TakesTheFirstDatagramFromAnySender)
{
    Udp peer("127.0.0.1", 8080);
    Udp stranger("127.0.0.2", 9999);
    Child child = spawn(CLIENT_PATH);
    std::string greeting;
    sockaddr_in client{};
    ASSERT_TRUE(peer.receive(greeting, client));
    stranger.send("not the peer", client);
    peer.send("the peer", client);
    finish(child);
    EXPECT_EQ(child.stdout_text, printed_for("not the peer"));
    EXPECT_EQ(exit_code(child), 0);
}

TEST_F(Netns, PrintsRandomRepliesExactly)
{
    const unsigned seed = 20261208;
    std::mt19937 random(seed);
    std::uniform_int_distribution<size_t> length(0, 2100);
    std::uniform_int_distribution<int> byte(1, 255);
    const unsigned zero_odds[] = {0, 2000, 60};
    Udp peer("127.0.0.1", 8080);
    for (int i = 0; i < 200 && !HasFailure(); ++i) {
        unsigned odds = zero_odds[i % 3];
        std::string reply(length(random), '\0');
        for (char &c : reply)
            c = odds && random() % odds == 0 ? '\0' : char(byte(random));
        SCOPED_TRACE("seed " + std::to_string(seed) + ", reply " + std::to_string(i) +
                     " of length " + std::to_string(reply.size()));
        Exchange run = run_client(peer, reply);
        EXPECT_EQ(run.child.stdout_text, printed_for(reply));
        EXPECT_EQ(exit_code(run.child), 0);
    }
}

TEST_F(Netns, WritesTheFirstLineBeforeTheReplyComes)
{
    Udp peer("127.0.0.1", 8080);
    Child child = spawn(CLIENT_PATH);
    std::string greeting;
    sockaddr_in client{};
    ASSERT_TRUE(peer.receive(greeting, client));
    EXPECT_TRUE(wait_for_output(child, "Hello message sent.\n"));
    peer.send("late", client);
    finish(child);
    EXPECT_EQ(child.stdout_text, printed_for("late"));
    EXPECT_EQ(exit_code(child), 0);
}

TEST_F(Netns, ReportsEachFailureOnOneLine)
{
    struct Case {
        const char *name;
        long failing_syscall;
        int failing_errno;
        const char *stdout_path;
        const char *stdout_text;
        const char *stderr_text;
    } cases[] = {
        {"socket", SYS_socket, EACCES, nullptr, "", "socket creation failed: Permission denied\n"},
        {"send", SYS_sendto, ENETUNREACH, nullptr, "", "send failed: Network is unreachable\n"},
        {"receive", SYS_recvfrom, ECONNREFUSED, nullptr, "Hello message sent.\n",
         "receive failed: Connection refused\n"},
        {"full stdout", -1, 0, "/dev/full", "",
         "write to standard output failed: No space left on device\n"},
    };
    Udp peer("127.0.0.1", 8080);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Launch launch;
        launch.failing_syscall = c.failing_syscall;
        launch.failing_errno = c.failing_errno;
        launch.stdout_path = c.stdout_path;
        // No reply is ever sent: each failure must end the run by itself.
        Child child = spawn(CLIENT_PATH, launch);
        finish(child);
        EXPECT_EQ(child.stdout_text, c.stdout_text);
        EXPECT_EQ(child.stderr_text, c.stderr_text);
        EXPECT_EQ(exit_code(child), 1);
    }
}

TEST_F(Netns, StopsWhenItsReaderGoesAway)
{
    struct Case {
        bool ignore_sigpipe;
        const char *stderr_text;
        int exit_code;
    } cases[] = {
        {false, "", 128 + SIGPIPE},
        {true, "write to standard output failed: Broken pipe\n", 1},
    };
    Udp peer("127.0.0.1", 8080);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ignore_sigpipe ? "SIGPIPE ignored" : "SIGPIPE default");
        Launch launch;
        launch.ignore_sigpipe = c.ignore_sigpipe;
        Child child = spawn(CLIENT_PATH, launch);
        std::string greeting;
        sockaddr_in client{};
        ASSERT_TRUE(peer.receive(greeting, client));
        ASSERT_TRUE(wait_for_output(child, "Hello message sent.\n"));
        close(child.out);
        child.out = open("/dev/null", O_RDONLY | O_CLOEXEC);
        peer.send("nobody reads this", client);
        finish(child);
        EXPECT_EQ(child.stderr_text, c.stderr_text);
        EXPECT_EQ(exit_code(child), c.exit_code);
    }
}

// A whole exchange between a client and a demo peer, both started as a user would.
void expect_demo_exchange(const char *peer_path, const char *client_path)
{
    Child server = spawn(peer_path, {{"--once"}});
    ASSERT_TRUE(wait_for_output(server, "listening on 127.0.0.1:8080\n"));
    Child client = spawn(client_path);
    finish(client);
    finish(server);
    EXPECT_EQ(client.stdout_text, printed_for("Hello from greeting-peer"));
    EXPECT_EQ(exit_code(client), 0);
    EXPECT_NE(server.stdout_text.find(" 17 bytes from 127.0.0.1:"), std::string::npos);
    EXPECT_NE(server.stdout_text.find(": \"Hello from client\"\n"), std::string::npos);
    EXPECT_EQ(exit_code(server), 0);
}

TEST_F(Netns, DemoPeerAnswersTheClient)
{
    expect_demo_exchange(PEER_PATH, CLIENT_PATH);
}

TEST_F(Netns, DemoPeerEscapesWhatItShowsAndStopsOnSignal)
{
    Child server = spawn(PEER_PATH);
    ASSERT_TRUE(wait_for_output(server, "listening on 127.0.0.1:8080\n"));
    Udp sender("127.0.0.1", 0);
    sender.send(std::string("a\0\x1b\"\\\n", 6), address("127.0.0.1", 8080));
    std::string reply;
    sockaddr_in from{};
    EXPECT_TRUE(sender.receive(reply, from));
    EXPECT_EQ(reply, "Hello from greeting-peer");
    EXPECT_TRUE(wait_for_output(server, ": \"a\\x00\\x1b\\\"\\\\\\x0a\"\n"));
    kill(server.pid, SIGTERM);
    finish(server);
    EXPECT_EQ(server.stderr_text, "");
    EXPECT_EQ(exit_code(server), 0);
}

TEST_F(Netns, DemoPeerRefusesATakenPort)
{
    Udp squatter("127.0.0.1", 8080);
    Child server = spawn(PEER_PATH);
    finish(server);
    EXPECT_EQ(server.stdout_text, "");
    EXPECT_EQ(server.stderr_text, "greeting-peer: 127.0.0.1:8080 is already in use\n");
    EXPECT_EQ(exit_code(server), 1);
}

TEST_F(Netns, InstalledProgramsAndManualPagesWork)
{
    char prefix[] = "/tmp/client-install-XXXXXX";
    ASSERT_NE(mkdtemp(prefix), nullptr);
    Child install = spawn(CMAKE_PATH, {{"--install", BUILD_DIR, "--prefix", prefix}});
    finish(install);
    ASSERT_EQ(exit_code(install), 0) << install.stderr_text;
    const std::string dir = prefix;
    expect_demo_exchange((dir + "/bin/greeting-peer").c_str(), (dir + "/bin/client").c_str());

    if (access(MAN_PATH, X_OK) != 0 && !getenv("CI"))
        GTEST_SKIP() << "man is not installed";
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("MANROFFSEQ", "", 1);
    setenv("MANWIDTH", "80", 1);
    struct Page {
        const char *name;
        std::vector<const char *> sections;
    } pages[] = {
        {"client",
         {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS", "EXAMPLES", "SEE ALSO"}},
        {"greeting-peer",
         {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "DIAGNOSTICS", "SEE ALSO"}},
    };
    for (const auto &page : pages) {
        SCOPED_TRACE(page.name);
        std::string file = dir + "/share/man/man1/" + page.name + ".1";
        Child man = spawn(MAN_PATH, {{"--warnings", "-E", "UTF-8", "-l", file}});
        finish(man);
        EXPECT_EQ(man.stderr_text, "");
        EXPECT_EQ(exit_code(man), 0);
        EXPECT_NE(man.stdout_text.find("greeting " VERSION), std::string::npos);
        for (const char *section : page.sections)
            EXPECT_NE(man.stdout_text.find("\n" + std::string(section) + "\n"), std::string::npos)
                << section;
    }
    Child remove = spawn("/bin/rm", {{"-rf", prefix}});
    finish(remove);
}

} // namespace

int main(int argc, char **argv)
{
    if (const char *failed = enter_private_network())
        netns_problem = errno_text(failed);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
