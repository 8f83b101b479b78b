// SPDX-License-Identifier: MIT
// What the tests share: the built programs run as real processes against real UDP sockets on
// 127.0.0.1:8080. Each test process moves into a network namespace of its own where it can (see
// harness.cpp), so that nothing else on the machine that uses port 8080 is touched; where it
// cannot, it runs on the host's loopback, one test process at a time and only while that port
// is free.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#ifndef GTEST_FLAG_GET // GoogleTest before 1.12
#define GTEST_FLAG_GET(name) ::testing::GTEST_FLAG(name)
#endif

inline std::string network_problem; // why this process cannot have 127.0.0.1:8080 to itself
inline std::string seccomp_problem; // why no system call can be made to fail here
inline bool guarding = false;       // a fatal failure ends the test (see guarded)

inline std::string errno_text(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}
inline std::string failed(const char *what, int error)
{
    return std::string(what) + ": " + strerror(error) + "\n";
}
sockaddr_in address(const char *ip, uint16_t port);
std::string temp_dir(); // $TMPDIR, else /tmp

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

struct Loopback : ::testing::Test {
    void SetUp() override
    {
        if (!network_problem.empty())
            SKIP_OR_FAIL(network_problem);
    }
};

struct Udp {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port; // the one bound, also where 0 was asked for
    Udp(const char *ip, uint16_t asked);
    ~Udp();
    std::string receive(sockaddr_in &from) const;
    void send(const std::string &data, const sockaddr_in &to) const;
};

struct Launch {
    std::vector<std::string> args = {};
    std::vector<std::string> env = {}; // besides PATH, which every child gets
    int ignored_signal = 0;            // else SIGPIPE, SIGINT and SIGTERM start at their default
    bool stdin_closed = false;         // else /dev/null
    std::string stdout_path = {};      // else a pipe
    long failing_syscall = -1;
    int failing_errno = 0;
};

// A program started with a known signal state and environment, its output read through pipes;
// one still running when its test ends is killed.
struct Child {
    pid_t pid = -1;
    int pidfd = -1, out = -1, err = -1;
    std::string stdout_text, stderr_text;
    int status = -1;
    std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);

    Child(const std::string &path, const Launch &launch = {});
    ~Child();
    // Reads until standard output holds `text` or, with none, until the child has closed both
    // pipes and exited; false at the deadline or once the text can no longer come.
    bool read_until(const char *text);
    void wait_for(const std::string &text);
    void finish();
    int code() const;
    std::string how() const; // how it ended, and what it wrote on standard error
};

// Waits for the end of `child` and checks all that it wrote and how it ended.
void expect_ended(Child &child, const std::string &out, const std::string &err, int code);

// What the client prints for a reply: its first 1024 bytes, up to the first zero byte.
constexpr char first[] = "Hello message sent.\n";
std::string printed_for(const std::string &reply);

constexpr char listening[] = "greeting-peer: listening on 127.0.0.1:8080\n";
// A whole exchange between a client and a demo peer from `bin`, both started as a user would.
void expect_demo_exchange(const std::string &bin, bool stdin_closed = false);

// A directory under temp_dir(), removed with all it holds however the test ends.
struct TempDir {
    std::string path = temp_dir() + "/greeting-test-XXXXXX";
    TempDir() { require(mkdtemp(path.data()), errno_text("mkdtemp")); }
    ~TempDir();
};

// Reads numbers from a file of /proc.
template <typename... Number> void scan(const std::string &path, const char *format, Number *...out)
{
    FILE *f = fopen(path.c_str(), "r");
    require(f && fscanf(f, format, out...) == int(sizeof...(out)), errno_text(path.c_str()));
    fclose(f);
}

// Names each case of a value-parameterised test after its row.
struct RowName {
    template <typename Row> std::string operator()(const ::testing::TestParamInfo<Row> &info) const
    {
        return info.param.name;
    }
};
