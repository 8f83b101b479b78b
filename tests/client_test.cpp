// SPDX-License-Identifier: MIT
// The client against a test peer on 127.0.0.1:8080: what it sends, prints and exits with.
#include "harness.h"

#include <fstream>
#include <random>

namespace
{

using Client = Loopback;

// One whole run of the client against a test peer that answers `reply`; checks the greeting.
struct Exchange {
    sockaddr_in from{};
    Child child;
    Exchange(const Udp &peer, const std::string &reply, const Launch &launch = {})
        : child(BIN_DIR "/client", launch)
    {
        int low, high;
        scan("/proc/sys/net/ipv4/ip_local_port_range", "%d %d", &low, &high);
        EXPECT_EQ(peer.receive(from, &child), "Hello from client");
        EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
        EXPECT_GE(ntohs(from.sin_port), low);
        EXPECT_LE(ntohs(from.sin_port), high);
        peer.send(reply, from);
        child.finish();
    }
};

struct ReplyCase {
    const char *name;
    std::string reply;
    std::vector<std::string> args = {};
    bool to_file = false; // standard output is a file, not a pipe
    friend void PrintTo(const ReplyCase &row, std::ostream *os) { *os << row.name; }
};
using Replies = Cases<ReplyCase>;

TEST_P(Replies, ArePrintedAsReceived)
{
    guarded([&] {
        TempDir dir;
        Launch launch{.args = GetParam().args};
        if (GetParam().to_file)
            launch.stdout_path = dir.path + "/stdout";
        Udp peer("127.0.0.1", 8080);
        Exchange run(peer, GetParam().reply, launch);
        if (GetParam().to_file) {
            std::ifstream file(launch.stdout_path);
            run.child.stdout_text.assign(std::istreambuf_iterator<char>(file), {});
        }
        expect_ended(run.child, printed_for(GetParam().reply), "", 0);
    });
}

// clang-format off
const ReplyCase replies[] = {
    {"Short", "hi there"},
    {"Empty", ""},
    {"CutAtAZeroByte", std::string("before\0after", 12)},
    {"CutAfter1024Bytes", std::string(1024, 'y') + "beyond the limit"},
    {"OfExactly1024Bytes", std::string(1024, 'x')},
    {"EndingInANewline", "ends with a newline\n"},
    {"WithControlBytes", "\x1b[1mraw escape\x1b[0m\r\t\x7f\xff"},
    {"WhateverTheArguments", "hi there", {"-p", "9090", "127.0.0.2", ""}},
    {"WithHelpAskedFor", "hi there", {"--help"}},
    {"ToAFile", std::string(1500, 'f'), {}, true},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Client, Replies, ::testing::ValuesIn(replies), row_name);

TEST_F(Client, PrintsSeededRandomRepliesAsReceived)
{
    guarded([&] {
        const unsigned zero_odds[] = {0, 2000, 60};
        std::mt19937 random(20261208);
        std::uniform_int_distribution<size_t> length(0, 2100);
        std::uniform_int_distribution<int> byte(1, 255);
        Udp peer("127.0.0.1", 8080);
        for (unsigned i = 0; i < 200 && !HasFailure(); ++i) {
            SCOPED_TRACE("reply " + std::to_string(i) + " of seed 20261208");
            std::string reply(length(random), '\0');
            for (char &c : reply)
                c = zero_odds[i % 3] && random() % zero_odds[i % 3] == 0 ? '\0'
                                                                         : char(byte(random));
            Exchange run(peer, reply);
            expect_ended(run.child, printed_for(reply), "", 0);
        }
    });
}

// What the test does once it has the greeting, given the test peer and the client's address.
using Meanwhile = void (*)(Child &client, const Udp &peer, const sockaddr_in &to);
struct RunCase {
    const char *name;
    Launch launch;
    bool greets; // the greeting comes, and `meanwhile` is done, before the run ends
    Meanwhile meanwhile;
    std::string out, err;
    int exit_code;
    friend void PrintTo(const RunCase &row, std::ostream *os) { *os << row.name; }
};
struct Runs : Cases<RunCase> {
    void SetUp() override
    {
        Cases::SetUp();
        require_injection(GetParam().launch);
    }
};

TEST_P(Runs, EndAsUsersExpect)
{
    guarded([&] {
        Udp peer("127.0.0.1", 8080);
        Child client(BIN_DIR "/client", GetParam().launch);
        sockaddr_in to;
        if (GetParam().greets) {
            peer.receive(to, &client);
            GetParam().meanwhile(client, peer, to);
        }
        expect_ended(client, GetParam().out, GetParam().err, GetParam().exit_code);
    });
}

void nothing(Child &, const Udp &, const sockaddr_in &) {}
void answer_off_standard_descriptors(Child &client, const Udp &peer, const sockaddr_in &to)
{
    expect_standard_descriptors(client.pid);
    peer.send("hi", to);
}
void reader_gone(Child &client, const Udp &peer, const sockaddr_in &to)
{
    client.wait_for(first);
    close(std::exchange(client.out, -1));
    peer.send("nobody reads this", to);
}

constexpr char cannot_write[] = "write to standard output failed";
// Where a system call is made to fail, no reply is ever sent: the run must end by itself.
// clang-format off
const RunCase runs[] = {
    {"TakesTheFirstDatagramFromAnySender", {}, true,
     [](Child &, const Udp &, const sockaddr_in &to) { Udp("127.0.0.2", 0).send("stranger", to); },
     printed_for("stranger"), "", 0},
    {"WritesTheFirstLineBeforeTheReply", {}, true,
     [](Child &client, const Udp &peer, const sockaddr_in &to) {
         client.wait_for(first);
         peer.send("late", to);
     }, printed_for("late"), "", 0},
    {"DiesOfSigpipeWhenItsReaderGoesAway", {}, true, reader_gone, first, "", 128 + SIGPIPE},
    {"SaysSoWhenItsReaderGoesAwayWithSigpipeIgnored", {.ignored_signal = SIGPIPE}, true,
     reader_gone, first, failed(cannot_write, EPIPE), 1},
    {"SaysSoWhenStandardOutputIsFull", {.stdout_path = "/dev/full"}, true, nothing, "",
     failed(cannot_write, ENOSPC), 1},
    {"SaysSoWhenStandardOutputIsClosed", {.closed = {1}}, true, nothing, "",
     failed(cannot_write, EBADF), 1},
    {"CompletesWithStandardInputClosed", {.closed = {0}}, true, answer_off_standard_descriptors,
     printed_for("hi"), "", 0},
    {"CompletesWithStandardErrorClosed", {.closed = {2}}, true, answer_off_standard_descriptors,
     printed_for("hi"), "", 0},
    {"SaysSoWhenItHasNoSocket", {.failing_syscall = SYS_socket, .failing_errno = EACCES}, false,
     nothing, "", failed("socket creation failed", EACCES), 1},
    {"SaysSoWhenDescriptorsRunOut", {.closed = {0}, .fd_limit = 3}, false, nothing, "",
     failed("socket creation failed", EMFILE), 1},
    {"SaysSoWithStandardInputAndOutputClosed", {.closed = {0, 1}}, true, nothing, "",
     failed(cannot_write, EBADF), 1},
    {"CompletesWithStandardInputAndErrorClosed", {.closed = {0, 2}}, true,
     answer_off_standard_descriptors, printed_for("hi"), "", 0},
    {"FailsWithStandardOutputAndErrorClosed", {.closed = {1, 2}}, true, nothing, "", "", 1},
    {"SaysSoWhenItCannotSend", {.failing_syscall = SYS_sendto, .failing_errno = ENETUNREACH},
     false, nothing, "", failed("send failed", ENETUNREACH), 1},
    {"SaysSoWhenItCannotReceive", {.failing_syscall = SYS_recvfrom, .failing_errno = ECONNREFUSED},
     true, nothing, first, failed("receive failed", ECONNREFUSED), 1},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Client, Runs, ::testing::ValuesIn(runs), row_name);

} // namespace
