// Which ports count as available, the selection model and the terminal presenter. The machine's
// own serial devices are kept out by pointing the port scan at an empty directory; the ports
// are pseudo-terminals put at numbers through the port map.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "comm/platform/portmap.h"
#include "comm/platform/pty.h"
#include "comm/platform/serial.h"
#include "comm/port/kvselcom.h"
#include "tests/fakes/no_machine_ports.h"

namespace kivo::testing {
namespace {

class PortSelection : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& [number, pty] : ports_) {
            UnregisterComPort(number);
            PtyClose(pty);
        }
        UseDispatcherForAvail = true;
        ShowPortsInUse = true;
    }

    void AddPort(int number) {
        TPtyPair pty;
        ASSERT_EQ(PtyOpen(pty), 0);
        ASSERT_EQ(RegisterComPort(number, pty.SlavePath), 0);
        ports_.emplace_back(number, pty);
    }

    std::string PathOf(int number) const {
        for (const auto& [n, pty] : ports_) {
            if (n == number) {
                return pty.SlavePath;
            }
        }
        return {};
    }

    TNoMachinePorts noMachinePorts_;
    TScratchDir scratch_;
    std::vector<std::pair<int, TPtyPair>> ports_;
};

TEST_F(PortSelection, OnlyExistingPortsOneToFiftyAreListed) {
    AddPort(3);
    AddPort(12);
    AddPort(51);
    EXPECT_FALSE(IsPortAvailable(0));
    EXPECT_TRUE(IsPortAvailable(51));
    EXPECT_FALSE(IsPortAvailable(4));

    TComSelectForm form;
    ASSERT_EQ(form.Entries().size(), 2u);
    EXPECT_EQ(form.Entries()[0].Text, "COM3");
    EXPECT_EQ(form.Entries()[0].Path, PathOf(3));
    EXPECT_EQ(form.Entries()[1].Text, "COM12");
    EXPECT_EQ(form.ItemIndex(), 0);
    EXPECT_EQ(form.SelectedComNum(), 3);
    form.SetItemIndex(1);
    EXPECT_EQ(form.SelectedCom(), "COM12");
    EXPECT_EQ(form.SelectedComNum(), 12);
    form.SetItemIndex(7);
    EXPECT_EQ(form.ItemIndex(), 1);
}

TEST_F(PortSelection, AnEmptyListSelectsNothing) {
    TComSelectForm form;
    EXPECT_TRUE(form.Entries().empty());
    EXPECT_EQ(form.ItemIndex(), -1);
    EXPECT_EQ(form.SelectedCom(), "");
    EXPECT_EQ(form.SelectedComNum(), 0);
    EXPECT_EQ(form.ShowModal(), mrAbort);
}

TEST_F(PortSelection, APortHeldElsewhereCountsOnlyWithShowPortsInUse) {
    AddPort(5);
    const int32_t held = SerialOpen(PathOf(5));
    ASSERT_GT(held, 0);
    for (bool viaDispatcher : {true, false}) {
        UseDispatcherForAvail = viaDispatcher;
        ShowPortsInUse = true;
        EXPECT_TRUE(IsPortAvailable(5)) << "via dispatcher " << viaDispatcher;
        ShowPortsInUse = false;
        EXPECT_FALSE(IsPortAvailable(5)) << "via dispatcher " << viaDispatcher;
    }
    SerialClose(held);
    EXPECT_TRUE(IsPortAvailable(5));
}

// Runs `check` as a user that may not open `path` and returns its result (0 to 255): root does
// it in a child that becomes nobody, any other user takes its own rights to the device away.
int AsUserWithoutRights(const std::string& path, const std::function<int()>& check) {
    if (geteuid() != 0) {
        return chmod(path.c_str(), 0) == 0 ? check() : 255;
    }
    if (chmod(path.c_str(), 0600) != 0) {
        return 255;
    }
    const pid_t child = fork();
    if (child == 0) {
        _exit(setgid(65534) == 0 && setuid(65534) == 0 ? check() : 255);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// What a user without rights to a port is shown, one bit each: available with ShowPortsInUse
// and without it, through the dispatcher and through the device, and listed for choice.
constexpr int kDispatcherShowsInUse = 1;
constexpr int kDispatcherHidesInUse = 2;
constexpr int kDeviceShowsInUse = 4;
constexpr int kDeviceHidesInUse = 8;
constexpr int kListed = 16;

TEST_F(PortSelection, APortThisUserMayNotOpenIsListedLikeOneInUse) {
    AddPort(6);
    const int seen = AsUserWithoutRights(PathOf(6), [] {
        int bits = 0;
        for (bool viaDispatcher : {true, false}) {
            UseDispatcherForAvail = viaDispatcher;
            ShowPortsInUse = true;
            bits |= IsPortAvailable(6) ? (viaDispatcher ? kDispatcherShowsInUse : kDeviceShowsInUse)
                                       : 0;
            ShowPortsInUse = false;
            bits |= IsPortAvailable(6) ? (viaDispatcher ? kDispatcherHidesInUse : kDeviceHidesInUse)
                                       : 0;
        }
        ShowPortsInUse = true;
        UseDispatcherForAvail = true;
        bits |= TComSelectForm().Entries().size() == 1 ? kListed : 0;
        return bits;
    });
    if (seen == 255) {
        GTEST_SKIP() << "no user without rights to the port could be made here";
    }
    EXPECT_EQ(seen, kDispatcherShowsInUse | kDeviceShowsInUse | kListed);
}

// ---------------------------------------------------------------------------------------------
// The terminal presenter

TEST_F(PortSelection, TheTerminalPresenterReadsAListedPortNumber) {
    AddPort(3);
    AddPort(12);
    TComSelectForm form;
    std::istringstream in("7\ncom12\n");
    std::ostringstream out;
    EXPECT_EQ(NewTerminalComSelectPresenter(in, out, true)->ShowModal(form), mrOk);
    EXPECT_EQ(form.SelectedComNum(), 12);
    EXPECT_NE(out.str().find("COM3  " + PathOf(3)), std::string::npos);
    EXPECT_NE(out.str().find("7 is not one of the listed ports."), std::string::npos);
    // The name takes any case, as --port does.
    for (const char* answer : {"COM3\n", "Com3\n", "cOm3\n"}) {
        TComSelectForm again;
        std::istringstream typed(answer);
        EXPECT_EQ(NewTerminalComSelectPresenter(typed, out, true)->ShowModal(again), mrOk)
            << answer;
        EXPECT_EQ(again.SelectedComNum(), 3) << answer;
    }
}

// The device's name and an answer typed at the prompt reach the terminal only as printable text.
TEST_F(PortSelection, TheTerminalPresenterShowsNoControlCharacters) {
    TPtyPair pty;
    const std::string link = scratch_.File("tty\x1b]0;owned\x07\nCOM1  ttyS0 \xff");
    ASSERT_EQ(PtyOpen(pty, link), 0);
    ASSERT_EQ(RegisterComPort(4, link), 0);
    ports_.emplace_back(4, pty);
    TComSelectForm form;
    std::istringstream in("\x1b[2J\n4\n");
    std::ostringstream out;
    EXPECT_EQ(NewTerminalComSelectPresenter(in, out, true)->ShowModal(form), mrOk);
    EXPECT_EQ(form.SelectedComNum(), 4);
    EXPECT_EQ(out.str().find('\x1b'), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("tty\\x1b]0;owned\\x07\\x0aCOM1  ttyS0 \\xff"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("\\x1b[2J is not one of the listed ports."), std::string::npos);
}

TEST_F(PortSelection, TheTerminalPresenterTakesTheFirstPortOrDeclines) {
    AddPort(3);
    TComSelectForm form;
    std::ostringstream out;
    std::istringstream enter("\n");
    EXPECT_EQ(NewTerminalComSelectPresenter(enter, out, true)->ShowModal(form), mrOk);
    EXPECT_EQ(form.SelectedComNum(), 3);

    std::istringstream zero("0\n");
    EXPECT_EQ(NewTerminalComSelectPresenter(zero, out, true)->ShowModal(form), mrCancel);
    std::istringstream ended("");
    EXPECT_EQ(NewTerminalComSelectPresenter(ended, out, true)->ShowModal(form), mrAbort);
    std::istringstream unused("3\n");
    std::ostringstream silent;
    EXPECT_EQ(NewTerminalComSelectPresenter(unused, silent, false)->ShowModal(form), mrAbort);
    EXPECT_TRUE(silent.str().empty());
}

} // namespace
} // namespace kivo::testing
