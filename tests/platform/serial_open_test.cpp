// Opening serial devices: names, exclusivity, the error codes a user sees, and descriptors.
#include "comm/platform/oserror.h"
#include "comm/platform/portmap.h"
#include "comm/platform/pty.h"
#include "comm/platform/serial.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <string>
#include <thread>

namespace kivo {
namespace {

using testing::TScratchDir;

class SerialOpenTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(PtyOpen(pty_), 0);
        // No real machine ports: numbered names resolve only through registrations.
        SetPortScanRoots({scratch_.File("sys"), scratch_.File("dev")});
    }
    void TearDown() override {
        PtyClose(pty_);
        SetPortScanRoots({});
    }

    TScratchDir scratch_;
    TPtyPair pty_;
};

size_t OpenDescriptorCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

// Opens `path` `times` times one after the other as an unprivileged user in a child process;
// returns the platform code of the first failure, 0 when every open succeeded.
int OpenCodeAsNobody(const std::string& path, int times = 1) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(255);
        }
        for (int i = 0; i < times; ++i) {
            const int32_t handle = SerialOpen(path);
            if (handle <= 0) {
                _exit(SerialLastError());
            }
            SerialClose(handle);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SerialOpenTest, OpensAndClosesAPseudoTerminal) {
    const int32_t handle = SerialOpen(pty_.SlavePath);
    ASSERT_GT(handle, 0);
    EXPECT_EQ(SerialLastError(), 0);
    EXPECT_EQ(SerialClose(handle), 0);
    EXPECT_EQ(SerialClose(handle), -kSerialBadHandle);
}

TEST_F(SerialOpenTest, SecondOpenOfAHeldDeviceReadsAsHeldElsewhere) {
    const int32_t first = SerialOpen(pty_.SlavePath);
    ASSERT_GT(first, 0);
    EXPECT_EQ(SerialOpen(pty_.SlavePath), -kPlatformAccessDenied);
    EXPECT_EQ(SerialLastError(), kPlatformAccessDenied);
    SerialClose(first);
    const int32_t again = SerialOpen(pty_.SlavePath);
    EXPECT_GT(again, 0) << "closing must release the device at once";
    EXPECT_NE(again, first) << "handles are not reused";
    SerialClose(again);
}

// A child forked while the device was open shares its open file until it ends or runs another
// program; the parent's close must still leave the device free for the parent's next open.
TEST_F(SerialOpenTest, ClosingReleasesTheDeviceWhileAChildForkedMeanwhileLivesOn) {
    const int32_t first = SerialOpen(pty_.SlavePath);
    ASSERT_GT(first, 0);
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(release[1]);
        char c;
        _exit(read(release[0], &c, 1) == 0 ? 0 : 1); // until the parent lets it end
    }
    close(release[0]);
    SerialClose(first);
    const int32_t again = SerialOpen(pty_.SlavePath);
    EXPECT_GT(again, 0) << "error " << SerialLastError();
    SerialClose(again);
    close(release[1]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Holds every eventfd call of this thread until the returned descriptor answers it; -1 where
// the system does not let a test do so.
int HoldEventFdCalls() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_eventfd2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return -1;
    }
    return static_cast<int>(
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
}

// An open that fails once it holds the device (here: its wait descriptors cannot be made) lets
// go of it as a close does, also while a child forked during the open lives on.
TEST_F(SerialOpenTest, FailedOpenReleasesTheDeviceWhileAChildForkedDuringItLivesOn) {
    std::promise<int> listening;
    int32_t failed = 0;
    std::thread opener([&] {
        const int listener = HoldEventFdCalls();
        listening.set_value(listener);
        if (listener >= 0) {
            failed = SerialOpen(pty_.SlavePath);
        }
    });
    const int listener = listening.get_future().get();
    if (listener < 0) {
        opener.join();
        GTEST_SKIP() << "the system does not let a test hold its own calls";
    }
    int release[2];
    ASSERT_EQ(pipe(release), 0);
    pid_t child = -1;
    // The open's eventfd calls fail; a child is forked at the first, with the device held.
    pollfd call{listener, POLLIN, 0};
    while (poll(&call, 1, -1) == 1 && (call.revents & POLLIN) != 0) {
        seccomp_notif held{};
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &held) != 0) {
            break;
        }
        if (child < 0) {
            child = fork();
            if (child == 0) {
                close(release[1]);
                char c;
                _exit(read(release[0], &c, 1) == 0 ? 0 : 1); // until the parent lets it end
            }
        }
        seccomp_notif_resp answer{};
        answer.id = held.id;
        answer.error = -EMFILE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &answer);
    }
    opener.join();
    close(listener);
    close(release[0]);
    EXPECT_EQ(failed, -kPlatformNotEnoughMemory);
    const int32_t again = SerialOpen(pty_.SlavePath);
    EXPECT_GT(again, 0) << "error " << SerialLastError();
    SerialClose(again);
    close(release[1]);
    ASSERT_GT(child, 0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SerialOpenTest, FailuresCarryTheCodeOfTheirCause) {
    EXPECT_EQ(SerialOpen("/dev/no-such-serial-device"), -kPlatformFileNotFound);
    EXPECT_EQ(SerialOpen("\\\\.\\COM200"), -kPlatformFileNotFound);
    EXPECT_EQ(SerialOpen("COM0"), -kPlatformFileNotFound);
    EXPECT_EQ(SerialOpen(scratch_.Write("plain-file", "x")), -kPlatformFileNotFound);
    for (const char* name : {"", "COM", "COMx", "\\\\.\\LPT1", "\\\\.\\COM12a", "ttyS0",
                             "/dev/null/below-a-file", "/"}) {
        EXPECT_EQ(SerialOpen(name), -kPlatformPathNotFound) << "name \"" << name << "\"";
        EXPECT_EQ(SerialLastError(), kPlatformPathNotFound);
    }
    EXPECT_EQ(SerialOpen(std::string("/dev/tty\0x", 10)), -kPlatformPathNotFound);
}

TEST_F(SerialOpenTest, PermissionProblemIsNotReportedAsDeviceInUse) {
    const std::string path = pty_.SlavePath;
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(path.c_str(), 0600), 0);
        EXPECT_EQ(OpenCodeAsNobody(path), kPlatformNoPermission);
    } else {
        ASSERT_EQ(chmod(path.c_str(), 0), 0);
        EXPECT_EQ(SerialOpen(path), -kPlatformNoPermission);
        EXPECT_EQ(SerialLastError(), kPlatformNoPermission);
    }
}

TEST_F(SerialOpenTest, ClosingLiftsExclusivityWhileTheFarEndStaysOpen) {
    ASSERT_EQ(chmod(pty_.SlavePath.c_str(), 0666), 0);
    if (geteuid() == 0) {
        EXPECT_EQ(OpenCodeAsNobody(pty_.SlavePath, 2), 0);
    } else {
        for (int i = 0; i < 2; ++i) {
            const int32_t handle = SerialOpen(pty_.SlavePath);
            EXPECT_GT(handle, 0);
            SerialClose(handle);
        }
    }
}

TEST_F(SerialOpenTest, PortNumbersResolveThroughThePortMap) {
    ASSERT_EQ(RegisterComPort(7, pty_.SlavePath), 0);
    int32_t handle = SerialOpen("\\\\.\\COM7");
    EXPECT_GT(handle, 0);
    SerialClose(handle);
    handle = SerialOpen("com7");
    EXPECT_GT(handle, 0);
    SerialClose(handle);
    UnregisterComPort(7);
    EXPECT_EQ(SerialOpen("\\\\.\\COM7"), -kPlatformFileNotFound);

    setenv("KIVO_COM8", pty_.SlavePath.c_str(), 1);
    handle = SerialOpen("\\\\.\\COM8");
    EXPECT_GT(handle, 0);
    SerialClose(handle);
    ASSERT_EQ(RegisterComPort(8, "/dev/no-such-serial-device"), 0);
    EXPECT_EQ(SerialOpen("\\\\.\\COM8"), -kPlatformFileNotFound) << "a registration wins";
    UnregisterComPort(8);
    unsetenv("KIVO_COM8");

    EXPECT_EQ(RegisterComPort(0, pty_.SlavePath), -kSerialBadArgument);
    EXPECT_EQ(RegisterComPort(kMaxComPort + 1, pty_.SlavePath), -kSerialBadArgument);
    EXPECT_EQ(RegisterComPort(3, ""), -kSerialBadArgument);
    EXPECT_EQ(RegisterComPort(3, pty_.SlavePath + std::string(1, '\0') + "x"), -kSerialBadArgument);
    EXPECT_EQ(SerialOpen("\\\\.\\COM3"), -kPlatformFileNotFound) << "nothing registered";
}

// The link goes only where it is asked for, replaces only a link that a killed pair left
// behind, and goes with the pair unless someone else has put their own there meanwhile.
TEST(PtyLink, IsPlacedReplacedAndRemovedOnlyWhereAsked) {
    TScratchDir scratch;
    const std::string link = scratch.File("line");
    std::filesystem::create_symlink("/dev/pts/999999", link);
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty, link), 0);
    EXPECT_EQ(std::filesystem::read_symlink(link), pty.SlavePath);
    TPtyPair second;
    EXPECT_LT(PtyOpen(second, link), 0) << "the link of a pair in use";
    EXPECT_EQ(std::filesystem::read_symlink(link), pty.SlavePath);
    PtyClose(pty);
    EXPECT_FALSE(std::filesystem::is_symlink(link));

    scratch.Write("line", "not a link");
    EXPECT_LT(PtyOpen(pty, link), 0);
    EXPECT_EQ(scratch.Read("line"), "not a link");

    std::filesystem::remove(link);
    std::filesystem::create_symlink("/nonexistent", link);
    EXPECT_LT(PtyOpen(pty, link), 0) << "a link of someone else's";
    EXPECT_EQ(std::filesystem::read_symlink(link), "/nonexistent");

    std::filesystem::remove(link);
    ASSERT_EQ(PtyOpen(pty, link), 0);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(scratch.File("elsewhere"), link);
    PtyClose(pty);
    EXPECT_EQ(std::filesystem::read_symlink(link), scratch.File("elsewhere"));

    std::filesystem::create_symlink("/nonexistent", scratch.File("cut"));
    EXPECT_EQ(PtyOpen(pty, scratch.File("cut") + std::string(1, '\0') + "x"),
              -kPlatformPathNotFound);
    EXPECT_EQ(std::filesystem::read_symlink(scratch.File("cut")), "/nonexistent");
    EXPECT_EQ(pty.Master, 0);
}

TEST(PtyLink, AStaleLinkTheUserMayNotRemoveIsReportedAsAPermissionProblem) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can leave a link that another user may not remove";
    }
    TScratchDir scratch;
    ASSERT_EQ(chmod(scratch.Path().c_str(), 0755), 0);
    const std::string shared = scratch.File("shared");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string link = shared + "/line";
    std::filesystem::create_symlink("/dev/pts/999999", link);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(255);
        }
        TPtyPair pty;
        _exit(PtyOpen(pty, link) == 0 ? 0 : SerialLastError());
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 255) {
        GTEST_SKIP() << "root here may not become another user (a container without the right)";
    }
    EXPECT_EQ(WEXITSTATUS(status), kPlatformAccessDenied);
    EXPECT_EQ(std::filesystem::read_symlink(link), "/dev/pts/999999");
}

// The master's owner learns of a new user of the slave by its emptying of the queues, reads
// only data all the same, and still wakes for what comes after the flush.
TEST(PtyPeerFlush, IsReportedOnceBetweenTheData) {
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    ASSERT_EQ(PtyWatchPeerFlush(pty), 0);
    SerialSetEventMask(pty.Master, ev_RxChar);
    const int32_t host = SerialOpen(pty.SlavePath);
    ASSERT_GT(host, 0);
    char buffer[8] = {};
    uint32_t events = 0;
    ASSERT_EQ(SerialWrite(host, "ab", 2), 2);
    ASSERT_EQ(SerialWaitEvent(pty.Master, events, 5000000), 0);
    EXPECT_EQ(SerialRead(pty.Master, buffer, sizeof buffer), 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_FALSE(PtyTakePeerFlush(pty));

    ASSERT_EQ(SerialPurge(host, kPurgeInput | kPurgeOutput), 0);
    ASSERT_EQ(SerialWaitEvent(pty.Master, events, 5000000), 0);
    EXPECT_EQ(events, ev_RxChar);
    EXPECT_EQ(SerialRead(pty.Master, buffer, sizeof buffer), 0);
    EXPECT_TRUE(PtyTakePeerFlush(pty));
    EXPECT_FALSE(PtyTakePeerFlush(pty));

    ASSERT_EQ(SerialWrite(host, "c", 1), 1);
    ASSERT_EQ(SerialWaitEvent(pty.Master, events, 5000000), 0);
    EXPECT_EQ(events, ev_RxChar) << "the read of the flush alone armed the wait again";
    EXPECT_EQ(SerialRead(pty.Master, buffer, 1), 1);
    EXPECT_EQ(buffer[0], 'c');
    SerialClose(host);
    PtyClose(pty);
}

TEST_F(SerialOpenTest, ReopeningManyTimesLeaksNoDescriptors) {
    const int32_t warmUp = SerialOpen(pty_.SlavePath);
    ASSERT_GT(warmUp, 0);
    SerialClose(warmUp);
    const size_t before = OpenDescriptorCount();
    for (int cycle = 0; cycle < 200; ++cycle) {
        const int32_t handle = SerialOpen(pty_.SlavePath);
        ASSERT_GT(handle, 0) << "cycle " << cycle;
        ASSERT_EQ(SerialClose(handle), 0);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(SerialOpenTest, EveryCallRejectsBadHandlesAndArguments) {
    const int32_t handle = SerialOpen(pty_.SlavePath);
    ASSERT_GT(handle, 0);
    TDCB dcb;
    TComStat stat;
    uint32_t value = 0;
    char byte = 0;
    for (const int32_t bad : {0, -1, 999999}) {
        EXPECT_EQ(SerialGetState(bad, dcb), -kSerialBadHandle);
        EXPECT_EQ(SerialRead(bad, &byte, 1), -kSerialBadHandle);
        EXPECT_EQ(SerialWrite(bad, &byte, 1), -kSerialBadHandle);
        EXPECT_EQ(SerialWaitEvent(bad, value, 0), -kSerialBadHandle);
        EXPECT_EQ(SerialClearError(bad, value, stat), -kSerialBadHandle);
        EXPECT_EQ(SerialSetEventMask(bad, ev_RxChar), -kSerialBadHandle);
        EXPECT_EQ(SerialClose(bad), -kSerialBadHandle);
        EXPECT_EQ(SerialLastError(), kSerialBadHandle);
    }
    EXPECT_EQ(SerialRead(handle, nullptr, 4), -kSerialBadArgument);
    EXPECT_EQ(SerialWrite(handle, &byte, -1), -kSerialBadArgument);
    EXPECT_EQ(SerialPurge(handle, 0), -kSerialBadArgument);
    EXPECT_EQ(SerialPurge(handle, 8), -kSerialBadArgument);
    EXPECT_EQ(SerialEscape(handle, 99), -kSerialBadArgument);
    EXPECT_EQ(SerialRead(handle, nullptr, 0), 0);
    SerialClose(handle);
}

} // namespace
} // namespace kivo
