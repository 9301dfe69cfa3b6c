// The device simulator driven by a small host over its pseudo-terminal: complete updates,
// the fault options, resynchronisation and a clean stop.
#include "comm/platform/serial.h"
#include "tests/fakes/child_exit.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace kivo {
namespace {

using testing::TScratchDir;

constexpr int kBlocks = 490;
constexpr int kBlockSize = 128;
constexpr int64_t kReplyUs = 2000000;
const std::string kNoise("\x00\x3f\xa5", 3);

std::string DevsimPath() {
    return std::string(KIVO_BIN_DIR) + "/brinomar-devsim";
}

// The simulator as a child process whose first line of output is the device path.
class TDevsim {
public:
    explicit TDevsim(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            signal(SIGHUP, SIG_DFL); // a test run started under nohup would pass its ignore on
            close(out[0]);
            std::vector<std::string> all{DevsimPath()};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& arg : all) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        output_ = out[0]; // kept open: the simulator must not write into a closed pipe
        char c = 0;
        while (read(output_, &c, 1) == 1 && c != '\n') {
            path_.push_back(c);
        }
    }
    ~TDevsim() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(output_);
    }

    const std::string& Path() const { return path_; }

    // Reads what the simulator writes until `text` has come (true), or until it has written
    // nothing for `timeoutMs` or has ended (false).
    bool AwaitOutput(const std::string& text, int timeoutMs = 10000) {
        char buffer[256];
        while (seen_.find(text) == std::string::npos) {
            pollfd readable{output_, POLLIN, 0};
            const ssize_t got =
                poll(&readable, 1, timeoutMs) == 1 ? read(output_, buffer, sizeof buffer) : 0;
            if (got <= 0) {
                return false;
            }
            seen_.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    // What the simulator wrote after the first line; for use once it has ended.
    std::string RestOfOutput() {
        std::string rest = std::move(seen_);
        char buffer[256];
        ssize_t got = 0;
        while ((got = read(output_, buffer, sizeof buffer)) > 0) {
            rest.append(buffer, static_cast<size_t>(got));
        }
        return rest;
    }

    // The simulator's reader goes away, as head -1 does after the first line.
    void CloseOutput() {
        close(output_);
        output_ = -1;
    }

    // The exit status, or -1 when the process has not ended within the time.
    int WaitExit(int timeoutMs) {
        status_ = testing::WaitChildExit(pid_, timeoutMs);
        return status_;
    }
    int Stop(int signal = SIGTERM) {
        kill(pid_, signal);
        return WaitExit(5000);
    }
    // Stops the simulator where it is (returning once it has stopped), and lets it go on.
    void Suspend() {
        int status = 0;
        kill(pid_, SIGSTOP);
        waitpid(pid_, &status, WUNTRACED);
    }
    void Resume() { kill(pid_, SIGCONT); }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    int status_ = -1;
    std::string path_;
    std::string seen_; // output read by AwaitOutput
};

// The updater's side of the protocol, reduced to plain reads and writes.
class THost {
public:
    explicit THost(const std::string& path) : line_(SerialOpen(path)) {
        SerialSetEventMask(line_, ev_RxChar | ev_Err);
    }
    ~THost() { SerialClose(line_); }

    bool Opened() const { return line_ > 0; }
    int32_t Line() const { return line_; }
    // What a host does when it opens the line.
    void EmptyQueues() { ASSERT_EQ(SerialPurge(line_, kPurgeInput | kPurgeOutput), 0); }
    void Send(const std::string& bytes) {
        ASSERT_EQ(SerialWrite(line_, bytes.data(), static_cast<int32_t>(bytes.size())),
                  static_cast<int>(bytes.size()));
    }
    // Everything that arrives until `count` bytes are there or nothing comes for `timeoutUs`.
    std::string Receive(size_t count, int64_t timeoutUs = kReplyUs) {
        std::string got;
        char buffer[256];
        while (got.size() < count) {
            const int n = SerialRead(line_, buffer, static_cast<int32_t>(count - got.size()));
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
                continue;
            }
            uint32_t events = 0;
            if (SerialWaitEvent(line_, events, timeoutUs) != 0 || events != ev_RxChar) {
                break;
            }
        }
        return got;
    }
    bool GetState(TDCB& dcb) { return SerialGetState(line_, dcb) == 0; }
    bool SetState(const TDCB& dcb) { return SerialSetState(line_, dcb) == 0; }
    bool HungUp() {
        uint32_t events = 0;
        return SerialWaitEvent(line_, events, kReplyUs) == 0 && events == ev_Err;
    }

private:
    int32_t line_;
};

std::string TestImage() {
    std::string image;
    uint32_t state = 12345;
    for (int i = 0; i < kBlocks * kBlockSize; ++i) {
        state = state * 1103515245 + 12345;
        image.push_back(static_cast<char>(state >> 16));
    }
    image.replace(1000, 4, "USOK"); // greeting and answer bytes inside the data are data
    return image;
}

uint8_t SumOf(const std::string& bytes) {
    uint8_t sum = 0;
    for (const char c : bytes) {
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    }
    return sum;
}

std::string Block(const std::string& image, int block) {
    return image.substr(static_cast<size_t>(block - 4) * kBlockSize, kBlockSize);
}

// Greets, starts the transfer and sends blocks first..last with their acknowledgements.
void SendBlocks(THost& host, const std::string& image, int last) {
    host.Send("US");
    ASSERT_EQ(host.Receive(2), "OK");
    host.Send("O");
    for (int block = 4; block <= last; ++block) {
        host.Send(Block(image, block));
        if (block < 493) {
            ASSERT_EQ(host.Receive(1), "K") << "block " << block;
        }
    }
}

class DevsimRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(DevsimPath())) {
            GTEST_SKIP() << "brinomar-devsim is not built in this configuration";
        }
    }
    TScratchDir scratch_;
};

TEST_F(DevsimRunTest, CompleteUpdateReturnsTheSumAndSavesTheImage) {
    const std::string saved = scratch_.File("image.bin");
    TDevsim sim({"--once", "--save", saved});
    THost host(sim.Path());
    ASSERT_TRUE(host.Opened()) << sim.Path();
    const std::string image = TestImage();
    SendBlocks(host, image, 493);
    EXPECT_EQ(host.Receive(1), std::string(1, static_cast<char>(SumOf(image))));
    EXPECT_EQ(sim.WaitExit(5000), 0) << "--once ends after the update";
    EXPECT_EQ(scratch_.Read("image.bin"), image);
}

TEST_F(DevsimRunTest, WrongChecksumIsOffByOne) {
    TDevsim sim({"--once", "--wrong-checksum"});
    THost host(sim.Path());
    const std::string image = TestImage();
    SendBlocks(host, image, 493);
    EXPECT_EQ(host.Receive(1), std::string(1, static_cast<char>(SumOf(image) + 1)));
}

TEST_F(DevsimRunTest, AnswersCanBeLowerCaseNoisyAndDoubled) {
    TDevsim sim({"--lower-case", "--noise", "--surplus-ok"});
    THost host(sim.Path());
    host.Send("US");
    EXPECT_EQ(host.Receive(7), kNoise + "okok");
    host.Send("O" + Block(TestImage(), 4));
    EXPECT_EQ(host.Receive(4), kNoise + "k");
}

// The host takes the first byte equal to the image's sum for the checksum, so the noise before a
// wrong one must not hold it; a blank image sums to 00.
TEST_F(DevsimRunTest, NoiseBeforeAWrongChecksumLeavesTheSumOut) {
    TDevsim sim({"--once", "--noise", "--wrong-checksum"});
    THost host(sim.Path());
    const std::string blank(static_cast<size_t>(kBlocks) * kBlockSize, '\xff');
    host.Send("US");
    ASSERT_EQ(host.Receive(5), kNoise + "OK");
    host.Send("O");
    for (int block = 4; block < 493; ++block) {
        host.Send(Block(blank, block));
        ASSERT_EQ(host.Receive(4), kNoise + "K") << "block " << block;
    }
    host.Send(Block(blank, 493));
    const std::string answer = host.Receive(3);
    EXPECT_EQ(answer.find('\0'), std::string::npos) << "the sum itself was sent";
    EXPECT_TRUE(answer.ends_with('\x01')) << "the wrong checksum, 01, comes last";
}

TEST_F(DevsimRunTest, MissingAcknowledgementBreaksTheUpdateOff) {
    const std::string saved = scratch_.File("image.bin");
    TDevsim sim({"--once", "--no-ack-after", "5", "--save", saved});
    THost host(sim.Path());
    const std::string image = TestImage();
    SendBlocks(host, image, 4);
    host.Send(Block(image, 5));
    EXPECT_EQ(host.Receive(1, 800000), "");
    EXPECT_EQ(sim.WaitExit(5000), 0) << "the quiet line ends the update";
    EXPECT_EQ(scratch_.Read("image.bin"), image.substr(0, 256));
}

TEST_F(DevsimRunTest, LateAcknowledgementComesAfterItsDelay) {
    TDevsim sim({"--late-ack", "400@5"});
    THost host(sim.Path());
    const std::string image = TestImage();
    SendBlocks(host, image, 4);
    host.Send(Block(image, 5));
    EXPECT_EQ(host.Receive(1, 150000), "") << "not yet";
    EXPECT_EQ(host.Receive(1), "K");

    // The last --late-ack counts whole, so without @N it delays every block again.
    TDevsim every({"--late-ack", "400@5", "--late-ack", "400"});
    THost second(every.Path());
    second.Send("US");
    ASSERT_EQ(second.Receive(2), "OK");
    second.Send("O" + Block(image, 4));
    EXPECT_EQ(second.Receive(1, 150000), "") << "not yet";
    EXPECT_EQ(second.Receive(1), "K");
}

// An acknowledgement held back longer than the quiet gap is the device's own delay, not a host
// that gave up: the update goes on when the simulator looks at the line meanwhile (its timer
// wakes it early for the answer, or, as here, the host changes its flow control).
TEST_F(DevsimRunTest, AcknowledgementLaterThanTheQuietGapKeepsTheUpdate) {
    TDevsim sim({"--late-ack", "1500@5"});
    THost host(sim.Path());
    const std::string image = TestImage();
    SendBlocks(host, image, 4);
    host.Send(Block(image, 5));
    EXPECT_EQ(host.Receive(1, 700000), "") << "not yet";
    TDCB dcb;
    ASSERT_TRUE(host.GetState(dcb));
    dcb.Flags ^= dcb_OutX;
    ASSERT_TRUE(host.SetState(dcb));
    EXPECT_EQ(host.Receive(1), "K");
    host.Send(Block(image, 6));
    EXPECT_EQ(host.Receive(1), "K");
}

// The simulator wakes early for its answers to make up for late timers; no answer may come
// before the line could have carried the bytes both ways.
TEST_F(DevsimRunTest, PacedAnswersNeverComeBeforeTheLineCarriedThem) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kByteTime = std::chrono::nanoseconds(86806); // 10 bits at 115200 baud
    TDevsim sim({"--pace", "115200"});
    THost host(sim.Path());
    const auto exchange = [&](const std::string& bytes, const std::string& answer) {
        const Clock::time_point sent = Clock::now();
        host.Send(bytes);
        EXPECT_EQ(host.Receive(answer.size()), answer);
        return Clock::now() - sent >= kByteTime * static_cast<int>(bytes.size() + answer.size());
    };
    EXPECT_TRUE(exchange("US", "OK"));
    host.Send("O");
    const std::string image = TestImage();
    for (int block = 4; block < 44; ++block) {
        EXPECT_TRUE(exchange(Block(image, block), "K")) << "block " << block;
    }
}

// Two complete updates, each ending with the checksum of the image.
void UpdateTwice(THost& host) {
    const std::string image = TestImage();
    for (int update = 0; update < 2; ++update) {
        SendBlocks(host, image, 493);
        EXPECT_EQ(host.Receive(1), std::string(1, static_cast<char>(SumOf(image))));
    }
}

// Each update's figures come once its last answer (the checksum) has left, and count only
// that update's answers: the greeting's, 489 acknowledgements and the checksum.
TEST_F(DevsimRunTest, StatsCoverEachUpdateWithItsLastAnswer) {
    TDevsim sim({"--stats"});
    THost host(sim.Path());
    UpdateTwice(host);
    EXPECT_EQ(sim.Stop(), 0);
    const std::string output = sim.RestOfOutput();
    const std::string report = "stats: 491 answers; the host's next bytes came a median ";
    const size_t first = output.find(report);
    ASSERT_NE(first, std::string::npos) << output;
    EXPECT_NE(output.find(report, first + 1), std::string::npos) << output;
}

// Figures nobody reads any more fail to be written; the device goes on with the next update.
TEST_F(DevsimRunTest, StatsThatNobodyReadsLeaveTheDeviceRunning) {
    TDevsim sim({"--stats"});
    sim.CloseOutput();
    THost host(sim.Path());
    UpdateTwice(host);
    EXPECT_EQ(sim.Stop(), 0);
}

// The update broken off has its figures too: the greeting's answer and the acknowledgements of
// blocks 4 and 5.
TEST_F(DevsimRunTest, HangsUpAfterTheBlockAsked) {
    TDevsim sim({"--hangup-after", "6", "--stats"});
    THost host(sim.Path());
    const std::string image = TestImage();
    SendBlocks(host, image, 5);
    host.Send(Block(image, 6));
    EXPECT_TRUE(host.HungUp());
    EXPECT_EQ(sim.WaitExit(5000), 0);
    const std::string output = sim.RestOfOutput();
    EXPECT_NE(output.find("stats: 3 answers; "), std::string::npos) << output;
}

// A host that opens the line at once after another broke off is greeted without the pause,
// and gets nothing the device still owed the last one.
TEST_F(DevsimRunTest, HostOpeningTheLineAgainIsGreetedAtOnce) {
    TDevsim sim({"--late-ack", "300@6"});
    const std::string image = TestImage();
    {
        THost first(sim.Path());
        SendBlocks(first, image, 5);
        first.Send(Block(image, 6));
        EXPECT_EQ(first.Receive(1, 100000), "") << "not yet";
    }
    THost second(sim.Path());
    second.EmptyQueues();
    SendBlocks(second, image, 493);
    EXPECT_EQ(second.Receive(1), std::string(1, static_cast<char>(SumOf(image))));
    EXPECT_EQ(sim.Stop(), 0);
}

// An acknowledgement held back for longer than any host waits is forgotten with the host that
// gave up on it; the next host's greeting is answered at once, not after the forgotten delay.
TEST_F(DevsimRunTest, AnswerForgottenAtAReopenDoesNotHoldTheLine) {
    TDevsim sim({"--late-ack", "600000@5", "--verbose"});
    const std::string image = TestImage();
    {
        THost first(sim.Path());
        SendBlocks(first, image, 4);
        first.Send(Block(image, 5));
        ASSERT_TRUE(sim.AwaitOutput("devsim: block 005 received\n"));
        EXPECT_EQ(first.Receive(1, 100000), "") << "not yet";
    }
    THost second(sim.Path());
    second.EmptyQueues();
    second.Send("US");
    EXPECT_EQ(second.Receive(2), "OK");
    EXPECT_EQ(sim.Stop(), 0);
}

// A hang-up the last host's blocks asked for still comes when the next host opens the line,
// and at its own time, not at that of an acknowledgement held back before it and forgotten.
TEST_F(DevsimRunTest, HangUpBehindAForgottenAnswerComesAtItsTime) {
    TDevsim sim({"--late-ack", "600000@5", "--hangup-after", "6", "--verbose"});
    const std::string image = TestImage();
    {
        THost first(sim.Path());
        SendBlocks(first, image, 4);
        first.Send(Block(image, 5));
        first.Send(Block(image, 6));
        ASSERT_TRUE(sim.AwaitOutput("devsim: block 006 received\n"));
    }
    THost second(sim.Path());
    second.EmptyQueues();
    EXPECT_TRUE(second.HungUp());
    EXPECT_EQ(sim.WaitExit(5000), 0);
}

TEST_F(DevsimRunTest, QuietLineReturnsTheDeviceToTheGreeting) {
    TDevsim sim({});
    THost host(sim.Path());
    const std::string image = TestImage();
    SendBlocks(host, image, 5);
    EXPECT_EQ(host.Receive(1, 700000), "");
    host.Send("US");
    EXPECT_EQ(host.Receive(2), "OK") << "a restarted update is greeted again";
}

// A simulator that runs late (stopped here, as a loaded machine may leave it waiting to run) is
// no host that paused: the block that waited for it is taken, and the update goes on.
TEST_F(DevsimRunTest, ALateSimulatorTakesTheBlockThatWaitedForIt) {
    TDevsim sim({});
    THost host(sim.Path());
    const std::string image = TestImage();
    SendBlocks(host, image, 5);
    sim.Suspend();
    host.Send(Block(image, 6));
    EXPECT_EQ(host.Receive(1, 700000), "") << "longer than the quiet gap";
    sim.Resume();
    EXPECT_EQ(host.Receive(1), "K");
    for (int block = 7; block <= 493; ++block) {
        host.Send(Block(image, block));
        if (block < 493) {
            ASSERT_EQ(host.Receive(1), "K") << "block " << block;
        }
    }
    EXPECT_EQ(host.Receive(1), std::string(1, static_cast<char>(SumOf(image))));
}

TEST_F(DevsimRunTest, SilentDeviceNeverAnswersButCountsTheGreetings) {
    TDevsim sim({"--silent", "--verbose"});
    THost host(sim.Path());
    host.Send("USUSUS");
    // The stop must not come before the simulator has taken the greetings.
    ASSERT_TRUE(sim.AwaitOutput("devsim: greeting 3\n"));
    EXPECT_EQ(host.Receive(1, 200000), "");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(sim.RestOfOutput().find("devsim: 3 greetings"), std::string::npos);

    // Its host gives up greeting in the end; that ends a run too.
    TDevsim once({"--silent", "--once"});
    THost greeter(once.Path());
    greeter.Send("USUS");
    EXPECT_EQ(once.WaitExit(10000), 0);
}

// SIGHUP is the simulator's terminal closing.
TEST_F(DevsimRunTest, StopSignalEndsItCleanlySavingWhatArrived) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const std::string link = scratch_.File("brinomar-line");
        const std::string saved = scratch_.File("image.bin");
        TDevsim sim({"--link", link, "--save", saved});
        ASSERT_TRUE(std::filesystem::is_symlink(link));
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.Path());
        THost host(link);
        ASSERT_TRUE(host.Opened());
        const std::string image = TestImage();
        SendBlocks(host, image, 4);
        EXPECT_EQ(sim.Stop(signal), 0);
        EXPECT_FALSE(std::filesystem::is_symlink(link));
        EXPECT_EQ(scratch_.Read("image.bin"), image.substr(0, 128));
    }
}

// A host that greets on without reading leaves the simulator's answers on the line until it is
// full and the next answer waits for room; a stop signal still ends the simulator.
TEST_F(DevsimRunTest, StopSignalEndsItWhileTheHostLeavesItsAnswersUnread) {
    TDevsim sim({"--surplus-ok", "--noise"});
    THost host(sim.Path());
    ASSERT_TRUE(host.Opened());
    // Greetings fill the line while the simulator takes none; their answers, seven bytes for
    // every two, are more than the line holds the other way.
    sim.Suspend();
    size_t greeted = 0;
    while (SerialWriteNow(host.Line(), "US", 2) == 2) {
        ++greeted;
    }
    ASSERT_GT(greeted, 0U);
    sim.Resume();
    ASSERT_EQ(host.Receive(1), std::string(1, '\0')) << "the simulator answers";
    EXPECT_EQ(sim.Stop(), 0);
}

// A link that cannot be made is told from a pseudo-terminal that cannot be opened: the user
// must look at the link's folder, not at the system's terminals.
TEST_F(DevsimRunTest, ALinkThatCannotBeMadeIsNamedAsTheLink) {
    const std::string link = scratch_.File("missing-dir/brinomar-line");
    TDevsim refused({"--link", link});
    EXPECT_EQ(refused.WaitExit(5000), 1);
    EXPECT_EQ(refused.Path(), "brinomar-devsim: cannot make a link to the pseudo-terminal at " +
                                  link + ": No such file or directory");
}

// Without a link, the path on standard output is the only way to the device: one that cannot be
// written ends the simulator, which would otherwise wait for a host that can never come.
TEST_F(DevsimRunTest, APathThatCannotBeToldEndsTheSimulator) {
    const std::string devsim = kivo::testing::ShellQuote(DevsimPath());
    const std::string errors = kivo::testing::ShellQuote(scratch_.File("err"));
    EXPECT_EQ(kivo::testing::RunShell("timeout 20 " + devsim + " >/dev/full 2>" + errors), 1);
    EXPECT_EQ(scratch_.Read("err"), "brinomar-devsim: cannot write the device's path on standard "
                                    "output: No space left on device\n");

    // A pipe whose reader has already gone (brinomar-devsim | head -0) is such an output too:
    // the simulator says so and ends, rather than being killed by the broken pipe unheard.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    close(out[0]);
    const std::string program = DevsimPath();
    const std::string brokenErrors = scratch_.File("broken-err");
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        const int err = open(brokenErrors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(err, STDERR_FILENO);
        signal(SIGPIPE, SIG_DFL); // as a shell starts it
        execl(program.c_str(), program.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    const int status = testing::WaitChildExit(child, 20000);
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(scratch_.Read("broken-err"), "brinomar-devsim: cannot write the device's path on "
                                           "standard output: Broken pipe\n");
}

// A link path that something else holds stays as it is, and an image that cannot be kept
// makes the exit status say so.
TEST_F(DevsimRunTest, NeitherTheLinkNorTheSaveOverridesWhatIsThere) {
    const std::string held = scratch_.File("held");
    scratch_.Write("held", "not a device");
    TDevsim refused({"--link", held});
    EXPECT_EQ(refused.WaitExit(5000), 1);
    EXPECT_NE(refused.Path().find("File exists"), std::string::npos) << refused.Path();
    EXPECT_EQ(scratch_.Read("held"), "not a device");

    std::filesystem::create_symlink(scratch_.File("elsewhere"), scratch_.File("foreign"));
    TDevsim foreign({"--link", scratch_.File("foreign")});
    EXPECT_EQ(foreign.WaitExit(5000), 1);
    EXPECT_EQ(std::filesystem::read_symlink(scratch_.File("foreign")), scratch_.File("elsewhere"));

    // A file that cannot be written is refused before the update rather than after it.
    for (const std::string& unwritable :
         {scratch_.File("missing-dir/image.bin"), scratch_.Path().string()}) {
        TDevsim refusedSave({"--save", unwritable});
        EXPECT_EQ(refusedSave.WaitExit(5000), 1) << unwritable;
        EXPECT_NE(refusedSave.Path().find("cannot write"), std::string::npos) << refusedSave.Path();
    }
    // The refusals quote the paths with their control characters escaped.
    TDevsim oddLink({"--link", scratch_.Write("held\x1b[2J", "")});
    EXPECT_EQ(oddLink.WaitExit(5000), 1);
    EXPECT_NE(oddLink.Path().find("held\\x1b[2J: File exists"), std::string::npos)
        << oddLink.Path();
    TDevsim oddSave({"--save", scratch_.File("missing\ndir/image.bin")});
    EXPECT_EQ(oddSave.WaitExit(5000), 1);
    EXPECT_NE(oddSave.Path().find("missing\\x0adir/image.bin: "), std::string::npos)
        << oddSave.Path();
    TDevsim unused({"--save", scratch_.File("unused.bin")});
    EXPECT_EQ(unused.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(scratch_.File("unused.bin")));

    // The last buffered bytes fail only when the file is closed.
    if (std::filesystem::exists("/dev/full")) {
        TDevsim sim({"--save", "/dev/full"});
        THost host(sim.Path());
        ASSERT_TRUE(host.Opened());
        SendBlocks(host, TestImage(), 4);
        EXPECT_EQ(sim.Stop(), 1);
        EXPECT_NE(sim.RestOfOutput().find("cannot write"), std::string::npos);
    }
}

TEST_F(DevsimRunTest, UsageMistakesAreRefused) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--no-ack-after", "3"},
                                               {"--no-ack-after", "493"},
                                               {"--late-ack", "10@493"},
                                               {"--hangup-after", "494"},
                                               {"--pace", "fast"},
                                               {"--late-ack", "10@"},
                                               {"--unknown"},
                                               {"--save"}}) {
        TDevsim sim(args);
        EXPECT_EQ(sim.WaitExit(5000), 64) << args[0];
    }
    // The last block is answered with the checksum; only the hang-up applies to it.
    TDevsim lastBlocks({"--no-ack-after", "492", "--late-ack", "10@492", "--hangup-after", "493"});
    EXPECT_EQ(lastBlocks.Path().rfind("/dev/", 0), 0u) << lastBlocks.Path();
    EXPECT_EQ(lastBlocks.Stop(), 0);
    TDevsim help({"--help"});
    EXPECT_EQ(help.Path(), "Usage: brinomar-devsim [OPTION]...");
    EXPECT_EQ(help.WaitExit(5000), 0);
}

} // namespace
} // namespace kivo
