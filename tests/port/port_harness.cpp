#include "tests/port/port_harness.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "comm/platform/portmap.h"
#include "comm/platform/serial.h"
#include "comm/platform/winmsg.h"
#include "tests/fakes/message_pump.h"

namespace kivo::testing {

int FakesCreated = 0;
int NextFakeOpenFailure = 0;

TKvdBaseDispatcher* ActivateFake(TKvdCustomComPort* cp) {
    auto* fake = new TFakeDispatcher(cp);
    fake->openFailure = NextFakeOpenFailure;
    NextFakeOpenFailure = 0;
    ++FakesCreated;
    return fake;
}

bool PumpUntil(TTestPort& port, const std::function<bool()>& done, uint32_t timeoutMs) {
    return PumpUntil(done, timeoutMs, [&port] { return port.CurrentDispatcher(); });
}

std::string LineKindName(TLineKind kind) {
    return kind == TLineKind::Fake ? "Fake" : "Pty";
}

TPortLine::TPortLine(TLineKind lineKind) : kind(lineKind) {
    port.SetBaud(9600);
    port.SetComNumber(PortNumber);
    if (kind == TLineKind::Fake) {
        port.SetActivationProc(ActivateFake);
        return;
    }
    EXPECT_EQ(PtyOpen(pty_), 0);
    EXPECT_EQ(RegisterComPort(PortNumber, pty_.SlavePath), 0);
}

TPortLine::~TPortLine() {
    port.SetOpen(false);
    PumpUntil(port, [this] { return port.PortState() == psClosed; });
    if (kind == TLineKind::Pty) {
        UnregisterComPort(PortNumber);
        PtyClose(pty_);
    }
}

void TPortLine::Open() {
    port.SetOpen(true);
    ASSERT_EQ(port.PortState(), psOpen);
}

void TPortLine::Send(const std::string& bytes) {
    if (kind == TLineKind::Fake) {
        port.Fake()->ScriptInput(bytes);
        return;
    }
    ASSERT_EQ(SerialWrite(pty_.Master, bytes.data(), static_cast<int32_t>(bytes.size())),
              static_cast<int>(bytes.size()));
}

void TPortLine::Feed(const std::string& bytes) {
    const uint32_t expected = port.InBuffUsed() + static_cast<uint32_t>(bytes.size());
    Send(bytes);
    if (kind == TLineKind::Fake) {
        port.Fake()->ExtractData();
    }
    ASSERT_TRUE(PumpUntil(port, [&] { return port.InBuffUsed() >= expected; }));
}

bool TPortLine::Deliver(const std::function<bool()>& done) {
    if (kind == TLineKind::Pty) {
        return PumpUntil(port, done);
    }
    // The in-memory layer has no threads: each round of the pump plays one dispatch pass.
    return PumpUntil(port, [&] {
        if (TFakeDispatcher* fake = port.Fake()) {
            fake->ExtractData();
            fake->CheckStatusTriggers();
            fake->CheckReceiveTriggers();
            fake->CheckTimerTriggers();
        }
        return done();
    });
}

TModalResult TScriptedPresenter::ShowModal(TComSelectForm& form) {
    ++shown;
    seen = form.Entries();
    for (size_t i = 0; choose != 0 && i < seen.size(); ++i) {
        if (seen[i].Number == choose) {
            form.SetItemIndex(static_cast<int>(i));
        }
    }
    return answer;
}

TPresenterGuard::TPresenterGuard(std::shared_ptr<IComSelectPresenter> presenter)
    : previous_(SetComSelectPresenter(std::move(presenter))) {}

TPresenterGuard::~TPresenterGuard() {
    SetComSelectPresenter(previous_);
}

} // namespace kivo::testing
