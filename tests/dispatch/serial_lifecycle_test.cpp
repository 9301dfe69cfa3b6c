// Opening and closing serial ports through the dispatcher: open failures and their codes, port
// numbers through the port map, restarting, handed-over devices, many reopenings, hang-up.
#include "tests/dispatch/serial_line.h"
#include "tests/fakes/child_exit.h"
#include "tests/fakes/descriptor_limit.h"
#include "tests/fakes/message_pump.h"

#include "comm/errors/kvexcept.h"
#include "comm/platform/framework.h"
#include "comm/platform/portmap.h"
#include "comm/platform/thread.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace kivo {
namespace {

using testing::FarRead;
using testing::FarWrite;
using testing::kLineBaud;
using testing::PortRead;
using testing::TPortLine;

int OpenPort(TKvdBaseDispatcher& port, const std::string& name) {
    return port.InitPort(name.c_str(), kLineBaud, dcbParityNone, 8, 1, 4096, 4096, true, true);
}

TEST(SerialLifecycleTest, OpenFailuresCarryThePlatformCode) {
    TPortLine line;
    TKvdWin32Dispatcher second(nullptr);
    EXPECT_EQ(OpenPort(second, line.pty.SlavePath), -5) << "held by the first open";
    EXPECT_LT(second.deviceId, 0);
    EXPECT_EQ(second.inBuffer, nullptr);

    TKvdWin32Dispatcher missing(nullptr);
    EXPECT_EQ(OpenPort(missing, "/dev/kivo-no-such-port"), -2);
    EXPECT_EQ(OpenPort(missing, "\\\\.\\COM249"), -2) << "a port number nothing stands for";
    EXPECT_EQ(OpenPort(missing, "\\\\.\\LPT1"), -3);
    EXPECT_EQ(missing.inBuffer, nullptr);

    // The first open is untouched by the failed ones.
    ASSERT_TRUE(FarWrite(line.far(), "still here"));
    EXPECT_EQ(PortRead(*line.port, 10), "still here");
}

TEST(SerialLifecycleTest, PortNumberOpensTheRegisteredDevice) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    SerialSetEventMask(pty.Master, ev_RxChar);
    ASSERT_EQ(RegisterComPort(211, pty.SlavePath), 0);
    {
        TKvdWin32Dispatcher port(nullptr);
        ASSERT_EQ(OpenPort(port, "\\\\.\\COM211"), 0);
        ASSERT_EQ(port.PutString("via the map"), 0);
        EXPECT_EQ(FarRead(pty.Master, 11), "via the map");
    }
    UnregisterComPort(211);
    PtyClose(pty);
}

TEST(SerialLifecycleTest, SecondStartIsRefusedAndTheThreadsKeepRunning) {
    TPortLine line;
    try {
        line.port->StartDispatcher();
        ADD_FAILURE() << "a second start must raise";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Dispatcher already started");
    }
    EXPECT_EQ(line.port->threadCount, 3);
    ASSERT_TRUE(FarWrite(line.far(), "ping"));
    EXPECT_EQ(PortRead(*line.port, 4), "ping");
}

TEST(SerialLifecycleTest, HandedOverDeviceIsUsedAndClosed) {
    TKvdTAPI32Dispatcher none(nullptr, 0);
    EXPECT_EQ(OpenPort(none, "ignored"), -2007);
    EXPECT_LT(none.deviceId, 0);

    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    SerialSetEventMask(pty.Master, ev_RxChar);
    const int32_t handle = SerialOpen(pty.SlavePath);
    ASSERT_GT(handle, 0);
    {
        TKvdTAPI32Dispatcher port(nullptr, handle);
        ASSERT_EQ(OpenPort(port, "ignored"), 0);
        EXPECT_EQ(port.deviceId, handle);
        ASSERT_EQ(port.PutString("tapi"), 0);
        EXPECT_EQ(FarRead(pty.Master, 4), "tapi");
    }
    EXPECT_EQ(SerialClose(handle), -kSerialBadHandle) << "closed with the dispatcher";
    PtyClose(pty);
}

TEST(SerialLifecycleTest, OpenThatCannotMakeItsWaitDescriptorsReleasesTheDevice) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    const int cooker = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(cooker, 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(cooker, &cooked), 0);
    cooked.c_lflag |= ECHO | ICANON;
    ASSERT_EQ(tcsetattr(cooker, TCSANOW, &cooked), 0);
    close(cooker);
    // Room for the device's own descriptor and no more.
    testing::TDescriptorLimit limit(2);
    ASSERT_TRUE(limit.Lowered());
    TKvdWin32Dispatcher port(nullptr);
    const int result = port.OpenCom(pty.SlavePath.c_str(), 4096, 4096);
    limit.Restore();
    EXPECT_EQ(result, ecInsufficientMemory);

    const int fd = open(pty.SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    int exclusive = 1;
    ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "the failed open must not leave the terminal barred";
    termios left{};
    ASSERT_EQ(tcgetattr(fd, &left), 0);
    EXPECT_EQ(left.c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON))
        << "the failed open must not leave the line in raw mode";
    close(fd);
    EXPECT_EQ(OpenPort(port, pty.SlavePath), 0);
    port.DonePort();
    PtyClose(pty);
}

// Thread creation that the system refuses from the n-th thread on (counted from 1).
std::atomic<int> gThreadsUntilRefusal{0};

void RefusingThreadCreator(std::function<void()> body) {
    if (--gThreadsUntilRefusal <= 0) {
        throw std::system_error(EAGAIN, std::generic_category(), "thread refused");
    }
    std::thread(std::move(body)).detach();
}

TEST(SerialLifecycleTest, OpenWhoseThreadsCannotAllStartFailsAndReleasesEverything) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    SerialSetEventMask(pty.Master, ev_RxChar);
    for (int refused = 1; refused <= 3; ++refused) {
        SCOPED_TRACE("refusing thread " + std::to_string(refused));
        TKvdWin32Dispatcher port(nullptr);
        gThreadsUntilRefusal = refused;
        SetThreadCreator(RefusingThreadCreator);
        const int result = OpenPort(port, pty.SlavePath);
        SetThreadCreator(nullptr);
        EXPECT_EQ(result, ecInsufficientMemory);
        EXPECT_LT(port.deviceId, 0);
        EXPECT_EQ(port.inBuffer, nullptr);
        EXPECT_FALSE(port.threadsActive);
        EXPECT_EQ(port.threadsAlive, 0);
        EXPECT_EQ(port.eventThread, nullptr);
        EXPECT_EQ(port.dispatchThread, nullptr);
        EXPECT_EQ(port.writeThread, nullptr);

        // The device is free again and the same dispatcher opens it normally.
        ASSERT_EQ(OpenPort(port, pty.SlavePath), 0);
        ASSERT_EQ(port.PutString("again"), 0);
        EXPECT_EQ(FarRead(pty.Master, 5), "again");
    }
    PtyClose(pty);
}

TEST(SerialLifecycleTest, ReadingWithoutADeviceDeliversNothing) {
    TKvdWin32Dispatcher never(nullptr);
    uint8_t buffer[4] = {};
    EXPECT_EQ(never.ReadCom(buffer, 4), 0);
    EXPECT_EQ(never.ReadCom(nullptr, 4), 0);

    TPortLine line;
    ASSERT_TRUE(FarWrite(line.far(), "late"));
    line.port->DonePort();
    EXPECT_EQ(line.port->ReadCom(buffer, 4), 0) << "a closed device";
}

size_t EntriesIn(const char* directory) {
    size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

TEST(SerialLifecycleTest, ReopeningManyTimesLeaksNothing) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    SerialSetEventMask(pty.Master, ev_RxChar);
    // ThreadSanitizer starts a helper thread with the process's first thread.
    std::thread([] {}).join();
    const size_t fdsBefore = EntriesIn("/proc/self/fd");
    const size_t tasksBefore = EntriesIn("/proc/self/task");
    for (int i = 0; i < 200; ++i) {
        auto port = std::make_unique<TKvdWin32Dispatcher>(nullptr);
        ASSERT_EQ(OpenPort(*port, pty.SlavePath), 0) << "open " << i;
        if (i % 50 == 0) {
            ASSERT_EQ(port->PutString("x"), 0);
            ASSERT_EQ(FarRead(pty.Master, 1), "x");
        }
    }
    // Threads that have reported their end may still be leaving the system, on a busy machine
    // for a while.
    EXPECT_TRUE(
        testing::PumpUntil([&] { return EntriesIn("/proc/self/task") <= tasksBefore; }, 5000))
        << EntriesIn("/proc/self/task") << " threads against " << tasksBefore;
    EXPECT_EQ(EntriesIn("/proc/self/fd"), fdsBefore);
    PtyClose(pty);
}

double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

TEvent* gLinesDropped = nullptr;

void OnModemStatus(uint32_t message, uint32_t, int32_t) {
    if (message == msgTriggerStatus) {
        gLinesDropped->Set();
    }
}

// A child forked while the dispatcher is open that closes or destroys its copy ends at once and
// leaves the line to the parent.
TEST(SerialLifecycleTest, AForkedChildLeavesTheOpenDeviceToItsParent) {
    TPortLine line;
    ASSERT_EQ(line.openResult, 0);
    for (bool destroy : {false, true}) {
        const pid_t child = fork();
        if (child == 0) {
            if (destroy) {
                line.port.reset();
            } else {
                line.port->DonePort();
            }
            _exit(0);
        }
        const int status = testing::WaitChildExit(child, 30000);
        if (status == -1) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        EXPECT_EQ(status, 0) << (destroy ? "destroying" : "closing");
        ASSERT_TRUE(FarWrite(line.far(), "still ours"));
        EXPECT_EQ(PortRead(*line.port, 10), "still ours");
        ASSERT_EQ(line.port->PutString("and out"), 0);
        EXPECT_EQ(FarRead(line.far(), 7), "and out");
    }
}

// The dispatcher's threads take shared locks on every pass; a fork can catch one of them held
// by a thread that does not come along. Children forked while an echo keeps both threads busy
// each destroy their copy and end.
TEST(SerialLifecycleTest, ChildrenForkedWhileTheThreadsAreBusyLeaveTheDevice) {
    TPortLine line;
    ASSERT_EQ(line.openResult, 0);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        while (!stop) {
            const std::string got = FarRead(line.far(), 16, 200);
            if (!got.empty() && !FarWrite(line.far(), got)) {
                return;
            }
        }
    });
    std::thread pinger([&] {
        while (!stop && line.port->PutString("sixteen bytes...") == 0 &&
               PortRead(*line.port, 16).size() == 16) {
        }
    });
    for (int i = 0; i < 100; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            line.port.reset();
            _exit(0);
        }
        const int status = testing::WaitChildExit(child, 30000);
        if (status == -1) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        ASSERT_EQ(status, 0) << "child " << i;
    }
    stop = true;
    pinger.join();
    echo.join();
}

TEST(SerialLifecycleTest, HangUpIsReportedWithoutSpinningAndCloses) {
    TEvent dropped;
    gLinesDropped = &dropped;
    TPortLine line;
    TKvdWin32Dispatcher& port = *line.port;
    ASSERT_TRUE(port.CheckDSR());
    port.RegisterProcTriggerHandler(OnModemStatus);
    const int32_t trigger = port.AddStatusTrigger(skModem);
    ASSERT_GT(trigger, 0);
    ASSERT_EQ(port.SetStatusTrigger(static_cast<uint32_t>(trigger), ms_DsrOn, true), 0);
    ASSERT_EQ(port.PutString("queued"), 0);

    PtyClose(line.pty);
    ASSERT_EQ(dropped.Wait(3000), WAIT_OBJECT_0) << "the hang-up reaches a modem-status trigger";
    EXPECT_FALSE(port.CheckDSR());
    port.RefreshStatus();
    EXPECT_TRUE(port.lineErrors & CE_HANGUP) << "and stays marked as a line error";

    // Writes to the dead line are dropped rather than piling up.
    ASSERT_EQ(port.PutString("into the void"), 0);
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(ProcessCpuMs() - before, 30.0) << "no thread may spin on a dead line";
    EXPECT_EQ(port.OutBuffUsed(), 0u);

    port.DonePort();
    EXPECT_FALSE(port.threadsActive);
    EXPECT_EQ(port.threadCount, 0);
    EXPECT_EQ(port.inBuffer, nullptr);
    gLinesDropped = nullptr;
}

} // namespace
} // namespace kivo
