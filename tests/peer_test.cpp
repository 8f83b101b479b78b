// SPDX-License-Identifier: MIT
// The demo peer: what it answers, prints and exits with, as its users start and stop it.
#include "harness.h"

namespace
{

using GreetingPeer = Loopback;

TEST_F(GreetingPeer, AnswersTheClient)
{
    guarded([] { expect_demo_exchange(BIN_DIR); });
}

TEST_F(GreetingPeer, AnswersTheClientWithStandardInputClosed)
{
    guarded([] { expect_demo_exchange(BIN_DIR, true); });
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

// What the test does once the peer listens, before it sends the datagrams.
using Meanwhile = void (*)(Child &peer);
struct PeerCase {
    const char *name;
    Launch launch = {};
    bool serves = true;                      // it listens, is sent `datagrams`, then `stop_signal`
    std::vector<std::string> datagrams = {}; // each answered, and reported on standard output
    Meanwhile meanwhile = nullptr;
    int stop_signal = SIGTERM, exit_code = 0;
    std::string out = {}, err = {}; // standard output besides what `serves` brings, standard error
};
struct Behaviours : Cases<PeerCase> {
    void SetUp() override
    {
        if (GetParam().serves) // only these need the port
            Loopback::SetUp();
    }
};

TEST_P(Behaviours, AsUsersExpect)
{
    guarded([&] {
        const PeerCase &row = GetParam();
        Child peer(BIN_DIR "/greeting-peer", row.launch);
        std::string out; // what serving brings, before `row.out`
        if (row.serves) {
            peer.wait_for(listening);
            out = listening;
            if (row.meanwhile)
                row.meanwhile(peer);
            Udp sender("127.0.0.3", 0);
            for (const auto &datagram : row.datagrams) {
                sender.send(datagram, address("127.0.0.1", 8080));
                sockaddr_in from;
                EXPECT_EQ(sender.receive(from, &peer), "Hello from greeting-peer");
                out += report(datagram, sender.port);
                peer.wait_for(out);
            }
            kill(peer.pid, row.stop_signal);
        }
        expect_ended(peer, out + row.out, row.err, row.exit_code);
    });
}

std::string every_byte()
{
    std::string all(256, '\0');
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = char(i);
    return all;
}
void beside(Child &)
{
    Udp other_address("127.0.0.2", 8080);
}
void second_peer(Child &)
{
    Child second(BIN_DIR "/greeting-peer");
    expect_ended(second, "", "greeting-peer: 127.0.0.1:8080 is already in use\n", 1);
}
void idle(Child &peer)
{
    const std::string stat = "/proc/" + std::to_string(peer.pid) + "/stat";
    const char *cpu = "%*d (%*[^)]) %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld";
    long user[2], system[2];
    scan(stat, cpu, &user[0], &system[0]);
    pollfd p{peer.out, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 500), 0) << "printed something while idle";
    scan(stat, cpu, &user[1], &system[1]);
    EXPECT_LT(user[1] + system[1] - user[0] - system[0], sysconf(_SC_CLK_TCK) / 20);
}
void interrupt(Child &peer)
{
    kill(peer.pid, SIGINT);
}

constexpr char usage[] = "usage: greeting-peer [--once] [--help] [--version]\n";

// clang-format off
const PeerCase behaviours[] = {
    {.name = "KeepsAnsweringWithoutOnce", .datagrams = {"one", "two"}},
    {.name = "EscapesWhatItCannotPrint", .datagrams = {every_byte()}},
    {.name = "ReportsEmptyAndLongDatagramsWhole", .datagrams = {"", std::string(2000, 'z')}},
    {.name = "BindsLoopbackOnly", .datagrams = {"x"}, .meanwhile = beside},
    {.name = "RefusesASecondPeerAndServesOn", .datagrams = {"still there"},
     .meanwhile = second_peer},
    {.name = "RestsWhileIdle", .meanwhile = idle},
    {.name = "DiesOfSigintWhichStopsAShellLoop", .datagrams = {"x"}, .stop_signal = SIGINT,
     .exit_code = 128 + SIGINT},
    {.name = "LeavesSigintIgnoredAsItFoundIt", .launch = {.ignored_signal = SIGINT},
     .datagrams = {"x"}, .meanwhile = interrupt},
    {.name = "RefusesAnUnknownArgument", .launch = {.args = {"--bogus"}}, .serves = false,
     .exit_code = 2, .err = usage + std::string("Try 'greeting-peer --help' for more information.\n")},
    {.name = "ShowsItsUsage", .launch = {.args = {"--help"}}, .serves = false,
     .out = usage + std::string(
         "Answers each UDP datagram to 127.0.0.1:8080 with \"Hello from greeting-peer\"\n"
         "and prints one line for it, until SIGINT or SIGTERM.\n"
         "\n"
         "  --once     exit after the first answer\n"
         "  --help     show this help and exit\n"
         "  --version  show the version and exit\n")},
    {.name = "ShowsItsVersion", .launch = {.args = {"--version"}}, .serves = false,
     .out = "greeting-peer (greeting) " VERSION "\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(GreetingPeer, Behaviours, ::testing::ValuesIn(behaviours), row_name);

} // namespace
