// SPDX-License-Identifier: MIT
// The client against a test peer on 127.0.0.1:8080: what it sends, prints and exits with.
#include "harness.h"

#include <fstream>
#include <functional>
#include <random>

namespace
{

using Client = Loopback;

// Takes the greeting: the 17 bytes, from 127.0.0.1 and a port that the system chose. Returns
// where it came from.
sockaddr_in expect_greeting(const Udp &peer, Child &client)
{
    int low, high;
    scan("/proc/sys/net/ipv4/ip_local_port_range", "%d %d", &low, &high);
    sockaddr_in from{};
    EXPECT_EQ(peer.receive(from, &client), "Hello from client");
    EXPECT_EQ(from.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_GE(ntohs(from.sin_port), low);
    EXPECT_LE(ntohs(from.sin_port), high);
    return from;
}

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
            Child client(BIN_DIR "/client");
            peer.send(reply, expect_greeting(peer, client));
            expect_ended(client, printed_for(reply), "", 0);
        }
    });
}

// What the test does once it has the greeting, given the test peer and the client's address.
using Meanwhile = std::function<void(Child &client, const Udp &peer, const sockaddr_in &to)>;
struct RunCase {
    const char *name;
    Launch launch;
    bool greets; // the greeting comes, and `meanwhile` is done, before the run ends
    Meanwhile meanwhile;
    std::string out, err;
    int exit_code;
    bool to_file = false; // standard output is a file, read once the run has ended
    friend void PrintTo(const RunCase &row, std::ostream *os) { *os << row.name; }
};
// A run answered with `reply`, which is printed as it came.
RunCase replied(const char *name, const std::string &reply, Launch launch = {},
                bool to_file = false)
{
    auto answer = [reply](Child &, const Udp &peer, const sockaddr_in &to) {
        peer.send(reply, to);
    };
    return {name, launch, true, answer, printed_for(reply), "", 0, to_file};
}
using Runs = Cases<RunCase>;

TEST_P(Runs, EndAsUsersExpect)
{
    guarded([&] {
        TempDir dir;
        Launch launch = GetParam().launch;
        if (GetParam().to_file)
            launch.stdout_path = dir.path + "/stdout";
        Udp peer("127.0.0.1", 8080);
        Child client(BIN_DIR "/client", launch);
        if (GetParam().greets)
            GetParam().meanwhile(client, peer, expect_greeting(peer, client));
        client.finish();
        if (GetParam().to_file) {
            std::ifstream file(launch.stdout_path);
            client.stdout_text.assign(std::istreambuf_iterator<char>(file), {});
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
    replied("Empty", ""),
    replied("CutAtAZeroByte", std::string("before\0after", 12)),
    replied("CutAfter1024Bytes", std::string(1024, 'y') + "beyond the limit"),
    replied("OfExactly1024Bytes", std::string(1024, 'x')),
    replied("WithControlBytesAndANewline", "\x1b[1mraw escape\x1b[0m\r\t\x7f\xff\n"),
    replied("ShortWhateverTheArguments", "hi there",
            {.args = {"--help", "-p", "9090", "127.0.0.2", ""}}),
    replied("ToAFile", std::string(1500, 'f'), {}, true),
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
    {"CompletesWithStandardErrorClosed", {.closed = {2}}, true, answer_off_standard_descriptors,
     printed_for("hi"), "", 0},
    {"SaysSoWhenItHasNoSocket", {.failing_syscall = SYS_socket, .failing_errno = EACCES}, false,
     nothing, "", failed("socket creation failed", EACCES), 1},
    {"SaysSoWhenDescriptorsRunOut", {.closed = {0}, .fd_limit = 3}, false, nothing, "",
     failed("socket creation failed", EMFILE), 1},
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
