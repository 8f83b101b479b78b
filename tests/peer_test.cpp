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
    std::vector<std::string> datagrams = {}; // each reported on standard output while it is read
    bool answers = true;                     // each datagram is answered
    Meanwhile meanwhile = nullptr;
    bool reader_leaves = false; // the stalled reader goes away before the stop signal
    bool paused = false; // stopped and continued while it waits to write the report, as by Ctrl-Z
    int stop_signal = SIGTERM, exit_code = 0; // a stop signal of 0 sends none: it ends by itself
    std::string out = {}, err = {}; // standard output besides what `serves` brings, standard error
    friend void PrintTo(const PeerCase &row, std::ostream *os) { *os << row.name; }
};
struct Behaviours : Cases<PeerCase> {
    void SetUp() override
    {
        if (GetParam().serves || GetParam().launch.args.empty()) // these bind the port
            Cases::SetUp();
    }
};

TEST_P(Behaviours, AsUsersExpect)
{
    guarded([&] {
        const PeerCase &row = GetParam();
        Child peer(BIN_DIR "/greeting-peer", row.launch);
        std::string out; // what serving brings, before `row.out`
        if (row.serves) {
            if (row.launch.output != Out::full_pipe)
                peer.wait_for(out = listening);
            if (row.meanwhile)
                row.meanwhile(peer);
            Udp sender("127.0.0.3", 0);
            for (const auto &datagram : row.datagrams) {
                sender.send(datagram, address("127.0.0.1", 8080));
                sockaddr_in from;
                if (row.answers) {
                    EXPECT_EQ(sender.receive(from, &peer), "Hello from greeting-peer");
                }
                if (row.paused && poll(nullptr, 0, 500) == 0) { // a write cut short
                    kill(peer.pid, SIGSTOP);
                    kill(peer.pid, SIGCONT);
                }
                if (peer.out >= 0) {
                    out += report(datagram, sender.port);
                    peer.wait_for(out);
                }
            }
            if (peer.stalled >= 0) // time for the peer to wait in its write
                poll(nullptr, 0, 500);
            if (row.reader_leaves)
                close(std::exchange(peer.stalled, -1));
            kill(peer.pid, row.stop_signal);
        }
        expect_ended(peer, out + row.out, row.err, row.exit_code);
    });
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
auto reader_gone = [](Child &peer) { close(std::exchange(peer.out, -1)); };
auto stalled = [](Child &peer) { peer.stalled = std::exchange(peer.out, -1); };
auto every_byte = [](size_t size) { // each byte value in turn
    std::string bytes;
    while (bytes.size() < size)
        bytes += char(bytes.size());
    return bytes;
};

constexpr char usage[] = "usage: greeting-peer [--once] [--help] [--version]\n";
std::string refused(const std::string &argument)
{
    return "greeting-peer: unrecognized argument '" + argument + "'\n" + usage +
           "Try 'greeting-peer --help' for more information.\n";
}
constexpr char cannot_write[] = "greeting-peer: write to standard output failed";

// clang-format off
const PeerCase behaviours[] = {
    // One piece of a report, several, and the most (the largest UDP datagram); without --once.
    {.name = "ReportsEveryByteWholeAndServesOn",
     .datagrams = {"", every_byte(256), every_byte(5000), every_byte(65507)}},
    {.name = "ReportsWholeToATerminalAfterCtrlZ", .launch = {.output = Out::terminal},
     .datagrams = {every_byte(65507)}, .paused = true},
    {.name = "BindsLoopbackOnly", .datagrams = {"x"},
     .meanwhile = [](Child &) { Udp("127.0.0.2", 8080); }},
    {.name = "RefusesASecondPeerAndServesOn", .datagrams = {"still there"},
     .meanwhile = [](Child &) {
         Child second(BIN_DIR "/greeting-peer");
         expect_ended(second, "", "greeting-peer: 127.0.0.1:8080 is already in use\n", 1);
     }},
    {.name = "RestsWhileIdle", .meanwhile = idle},
    {.name = "DiesOfSigintWhichStopsAShellLoop", .datagrams = {"x"}, .stop_signal = SIGINT,
     .exit_code = 128 + SIGINT},
    {.name = "LeavesSigintIgnoredAsItFoundIt", .launch = {.ignored_signal = SIGINT},
     .datagrams = {"x"}, .meanwhile = [](Child &peer) { kill(peer.pid, SIGINT); }},
    {.name = "AnswersBeforeItsReaderIsGone", .datagrams = {"x"}, .meanwhile = reader_gone,
     .stop_signal = 0, .exit_code = 128 + SIGPIPE},
    {.name = "SaysSoWhenItsReaderIsGoneWithSigpipeIgnored", .launch = {.ignored_signal = SIGPIPE},
     .datagrams = {"x"}, .meanwhile = reader_gone, .stop_signal = 0, .exit_code = 1,
     .err = failed(cannot_write, EPIPE)},
    {.name = "SaysSoWhenStandardOutputIsClosed", .launch = {.closed = {1}}, .serves = false,
     .exit_code = 1, .err = failed(cannot_write, EBADF)},
    {.name = "ServesWithStandardInputAndErrorClosed", .launch = {.closed = {0, 2}},
     .datagrams = {"x"}, .meanwhile = [](Child &peer) { expect_standard_descriptors(peer.pid); }},
    {.name = "FailsWithStandardOutputAndErrorClosed", .launch = {.closed = {1, 2}},
     .serves = false, .exit_code = 1},
    {.name = "SaysSoWhenDescriptorsRunOut", .launch = {.closed = {0}, .fd_limit = 3},
     .serves = false, .exit_code = 1, .err = failed("greeting-peer: socket", EMFILE)},
    {.name = "StopsWhileItsReaderStalls", .datagrams = {std::string(65000, '\1')},
     .meanwhile = stalled},
    {.name = "EndsAtOnceWhenItsStalledReaderLeaves", .launch = {.ignored_signal = SIGPIPE},
     .datagrams = {std::string(65000, '\1')}, .meanwhile = stalled, .reader_leaves = true,
     .stop_signal = 0, .exit_code = 1, .err = failed(cannot_write, EPIPE)},
    {.name = "StopsWhileATerminalStalls", .launch = {.output = Out::terminal}, // fills it
     .datagrams = {6, std::string(1000, '\1')}, .answers = false, .meanwhile = stalled},
    {.name = "DiesOfSigintWhileATerminalStalls", .launch = {.output = Out::terminal},
     .datagrams = {6, std::string(1000, '\1')}, .answers = false, .meanwhile = stalled,
     .stop_signal = SIGINT, .exit_code = 128 + SIGINT},
    {.name = "StopsWhileItsFirstLineWaits", .launch = {.output = Out::full_pipe}},
    {.name = "DiesOfSigintWhileItsFirstLineWaits", .launch = {.output = Out::full_pipe},
     .stop_signal = SIGINT, .exit_code = 128 + SIGINT},
    {.name = "LeavesSigtermIgnoredAsItFoundIt", .launch = {.ignored_signal = SIGTERM},
     .datagrams = {"x"}, .meanwhile = [](Child &peer) { kill(peer.pid, SIGTERM); },
     .stop_signal = SIGINT, .exit_code = 128 + SIGINT},
    {.name = "ServesOnWhenAnAnswerCannotBeSent",
     .launch = {.failing_syscall = SYS_sendto, .failing_errno = EPERM}, .datagrams = {"x", "y"},
     .answers = false,
     .err = failed("greeting-peer: send", EPERM) + failed("greeting-peer: send", EPERM)},
    {.name = "FailsOnceItsAnswerCannotBeSent",
     .launch = {.args = {"--once"}, .failing_syscall = SYS_sendto, .failing_errno = EPERM},
     .datagrams = {"x"}, .answers = false, .stop_signal = 0, .exit_code = 1,
     .err = failed("greeting-peer: send", EPERM)},
    {.name = "RefusesAnUnknownOption", .launch = {.args = {"--bogus"}}, .serves = false,
     .exit_code = 2, .err = refused("--bogus")},
    {.name = "RefusesAValueForAnOption", .launch = {.args = {"--once=1"}}, .serves = false,
     .exit_code = 2, .err = refused("--once=1")},
    {.name = "RefusesAStrayArgument", .launch = {.args = {"--once", "extra"}}, .serves = false,
     .exit_code = 2, .err = refused("extra")},
    {.name = "RefusesAShortOptionCluster", .launch = {.args = {"--once", "-ox"}}, .serves = false,
     .exit_code = 2, .err = refused("-ox")},
    {.name = "RefusesAClusterAfterAnAbbreviation", .launch = {.args = {"--o", "-xy"}},
     .serves = false, .exit_code = 2, .err = refused("-xy")},
    {.name = "SaysSoWhenItsHelpCannotBeWritten",
     .launch = {.args = {"--help"}, .stdout_path = "/dev/full"}, .serves = false, .exit_code = 1,
     .err = failed(cannot_write, ENOSPC)},
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
