// Several threads at once on one port over a pseudo-terminal, driven by a seeded generator so
// that a failing run can be repeated: the main thread opens, closes, reconfigures, writes,
// reads and waits through the component, whose event handlers close the port or start waits
// themselves; a trigger thread adds, re-arms and removes data, timer and status triggers on
// the dispatcher; a line thread drives DTR and RTS, changes the line and flushes; a handler
// on the dispatch thread re-arms timers; and the far end writes, reads, hangs up and comes
// back on a fresh pair. The component itself belongs to the main thread, as it must; the
// other threads use only the dispatcher, whose calls take its locks, and only while the port
// is open (it is handed to them when it opens and taken back when it closes). Records carry
// sequence numbers, so whatever either side receives must come in rising order without
// repeats (flushes, closes and hang-ups may drop records, never repeat or reorder them).
// Every call must succeed or fail with one of the library's codes, every step must end, and
// the process must give back its descriptors and threads.
//
// KIVO_CHAOS_SEED picks the seed (1 by default), KIVO_CHAOS_MS the run time (2500 ms).
#include "comm/dispatch/kwuser.h"
#include "comm/errors/kvexcept.h"
#include "comm/platform/framework.h"
#include "comm/platform/portmap.h"
#include "comm/platform/winmsg.h"
#include "comm/port/kvport.h"
#include "comm/util/oomisc.h"
#include "tests/fakes/message_pump.h"
#include "tests/fakes/pty_far_end.h"
#include "tests/soak/soak_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivo::testing {
namespace {

constexpr int kPortNumber = 43;
constexpr uint32_t kPumpMs = 10000;
// A step of any thread that has not ended after this long is taken for a hang.
constexpr auto kStepLimit = std::chrono::seconds(60);

// A record is a letter, the sequence number twice in hex and a line end. A line pieced
// together from records cut by a flush or a hang-up either fails the repeat or reads as one of
// the records it came from, so the rising order holds for every line that passes.
std::string Record(char letter, uint32_t sequence) {
    char text[32];
    std::snprintf(text, sizeof text, "%c%08x%08x\n", letter, sequence, sequence);
    return text;
}

class TRecordChecker {
    static constexpr size_t kRecentBytes = 600;

public:
    explicit TRecordChecker(char letter) : letter_(letter) {}

    // `from` names the reader in the recent history that a fault report carries.
    void Take(const char* bytes, size_t count, const char* from) {
        std::lock_guard guard(lock_);
        recent_ += std::string(" [") + from + "]" + std::string(bytes, count);
        if (recent_.size() > kRecentBytes) {
            recent_.erase(0, recent_.size() - kRecentBytes);
        }
        for (size_t i = 0; i < count; ++i) {
            if (bytes[i] != '\n') {
                if (line_.size() < 32) {
                    line_ += bytes[i];
                }
                continue;
            }
            Check();
            line_.clear();
        }
    }
    uint32_t Good() const { return good_; }
    std::string Fault() const {
        std::lock_guard guard(lock_);
        return fault_;
    }

private:
    void Check() {
        if (line_.size() != 17 || line_[0] != letter_ || line_.compare(1, 8, line_, 9, 8) != 0 ||
            !std::all_of(line_.begin() + 1, line_.end(),
                         [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
            return;
        }
        const auto sequence = static_cast<uint32_t>(std::stoul(line_.substr(1, 8), nullptr, 16));
        if (good_ > 0 && sequence <= last_ && fault_.empty()) {
            fault_ = "record " + std::to_string(sequence) + " after " + std::to_string(last_) +
                     ", recently:" + recent_;
        }
        last_ = sequence;
        ++good_;
    }

    const char letter_;
    mutable std::mutex lock_;
    std::string line_;
    uint32_t last_ = 0;
    std::atomic<uint32_t> good_{0};
    std::string fault_;
    std::string recent_;
};

// Codes the library may answer with: its own and the negated platform errors.
bool KnownCode(int code) {
    static const int known[] = {
        ecInsufficientMemory, ecBadArgument,          ecBadId,         ecNotOpen,
        ecAlreadyOpen,        ecNoPortSelected,       ecNullApi,       ecNotSupported,
        ecPutBlockFail,       ecOutputBufferTooSmall, ecBufferIsEmpty, ecTriggerTooLong,
        ecBadTriggerHandle};
    for (int k : known) {
        if (code == k) {
            return true;
        }
    }
    return code >= -200 && code <= 0;
}

class TCodeTally {
public:
    void Note(const char* what, int code) {
        if (code >= 0) {
            return;
        }
        std::lock_guard guard(lock_);
        ++counts_[std::string(what) + " " + std::to_string(code)];
        if (!KnownCode(code) && unknown_.empty()) {
            unknown_ = std::string(what) + " answered " + std::to_string(code);
        }
    }
    std::string Unknown() {
        std::lock_guard guard(lock_);
        return unknown_;
    }
    void Print() {
        std::lock_guard guard(lock_);
        for (const auto& [what, count] : counts_) {
            std::printf("  %s: %d\n", what.c_str(), count);
        }
    }

private:
    std::mutex lock_;
    std::map<std::string, int> counts_;
    std::string unknown_;
};

// The far end: the master of a pair whose slave is registered as the port, writing S records
// and checking the H records that arrive; told to, it hangs up (closes both ends) and comes
// back on a new pair under the same port number.
class TChaosFarEnd {
public:
    explicit TChaosFarEnd(uint32_t seed) : random_(seed) { Connect(); }
    ~TChaosFarEnd() {
        Stop();
        Disconnect();
    }
    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool Connected() const { return registered_; }
    // Only while the far end stands still.
    int Descriptors() const { return master_ >= 0 ? 2 : 0; }
    TRecordChecker& Received() { return received_; }
    uint32_t Hangups() const { return hangups_; }

private:
    void Connect() {
        int slave = -1;
        if (openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
            master_ = -1;
            return;
        }
        MakeRaw(master_);
        MakeRaw(slave);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        slave_ = slave;
        registered_ = RegisterComPort(kPortNumber, ttyname(slave)) == 0;
    }
    void Disconnect() {
        for (int* fd : {&master_, &slave_}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }

    void Run() {
        std::vector<char> buffer(4096);
        std::string pending;
        while (!stop_) {
            if (master_ < 0 || random_() % 500 == 0) {
                Disconnect();
                ++hangups_;
                std::this_thread::sleep_for(std::chrono::milliseconds(random_() % 20));
                Connect();
                pending.clear();
                continue;
            }
            if (pending.empty() && random_() % 2 == 0) {
                for (uint32_t n = random_() % 8; n > 0; --n) {
                    pending += Record('S', ++sequence_);
                }
            }
            pollfd fd{master_, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
            if (poll(&fd, 1, 5) <= 0) {
                continue;
            }
            if ((fd.revents & POLLIN) != 0) {
                const ssize_t got = read(master_, buffer.data(), buffer.size());
                if (got > 0) {
                    received_.Take(buffer.data(), static_cast<size_t>(got), "far end");
                }
            }
            if ((fd.revents & POLLOUT) != 0) {
                const ssize_t put = write(master_, pending.data(), pending.size());
                if (put > 0) {
                    pending.erase(0, static_cast<size_t>(put));
                }
            }
        }
    }

    std::minstd_rand random_;
    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> registered_{false};
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> hangups_{0};
    uint32_t sequence_ = 0;
    TRecordChecker received_{'H'};
    std::thread thread_;
};

// Ends the process when a step of any thread overruns: a hang must fail the run, not stall it.
class TWatchdog {
public:
    TWatchdog() : thread_([this] { Run(); }) {}
    ~TWatchdog() {
        {
            std::lock_guard guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Step(const char* what) {
        std::lock_guard guard(lock_);
        what_ = what;
        since_ = std::chrono::steady_clock::now();
    }

private:
    void Run() {
        std::unique_lock guard(lock_);
        while (!stop_) {
            wake_.wait_for(guard, std::chrono::seconds(1));
            if (!stop_ && std::chrono::steady_clock::now() - since_ > kStepLimit) {
                std::fprintf(stderr, "chaos: main thread hangs in %s\n", what_);
                std::abort();
            }
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    const char* what_ = "start";
    std::chrono::steady_clock::time_point since_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

class PortChaos : public ::testing::Test {
protected:
    PortChaos()
        : seed_(EnvNumber("KIVO_CHAOS_SEED", 1)), runMs_(EnvNumber("KIVO_CHAOS_MS", 2500)),
          random_(seed_), far_(seed_ * 7919) {}

    void SetUp() override {
        ASSERT_TRUE(far_.Connected());
        port_.SetComNumber(kPortNumber);
        port_.SetBaud(115200);
        port_.SetOnTriggerAvail(TTriggerAvailEvent::Bind<&PortChaos::OnAvail>(this));
        port_.SetOnTriggerData(TTriggerDataEvent::Bind<&PortChaos::OnData>(this));
        port_.SetOnTriggerTimer(TTriggerTimerEvent::Bind<&PortChaos::OnTimer>(this));
        port_.SetOnTriggerStatus(TTriggerStatusEvent::Bind<&PortChaos::OnStatus>(this));
        port_.SetOnWaitChar(TWaitCharEvent::Bind<&PortChaos::OnWaitChar>(this));
        port_.RegisterUserCallback(TPortCallback::Bind<&PortChaos::OnOpenClose>(this));
    }
    void TearDown() override {
        stopWorkers_ = true;
        for (auto& worker : workers_) {
            worker.join();
        }
        port_.SetOpen(false);
        UnregisterComPort(kPortNumber);
    }

    // Opening hands the dispatcher to the worker threads; closing takes it back before the
    // device goes, waiting for any call of theirs still under way.
    void OnOpenClose(TKvdCustomComPort* cp, bool opening) {
        std::unique_lock guard(shared_);
        published_ = opening ? cp->Dispatcher() : nullptr;
        dispatchSide_ = published_;
        if (opening) {
            published_->RegisterEventTriggerHandler(
                TTriggerMethod::Bind<&PortChaos::OnDispatchThread>(this));
        }
    }

    // Runs a component call, noting the code of a failure.
    template <typename Call>
    void Guarded(const char* what, Call call) {
        try {
            call();
        } catch (const EKVDException& e) {
            tally_.Note(what, e.ErrorCode != 0 ? e.ErrorCode : -1);
        } catch (const EInOutError& e) {
            tally_.Note(what, -e.ErrorCode);
        }
    }

    void Resync() { readIn_.Take("\n", 1, "resync"); }

    // --- Handlers on the main thread
    void OnAvail(TKvdCustomComPort* cp, uint16_t count) {
        std::string bytes(count, '\0');
        Guarded("avail GetBlock", [&] { cp->GetBlock(bytes.data(), count); });
        readIn_.Take(bytes.data(), bytes.size(), "avail");
    }
    void OnData(TKvdCustomComPort* cp, uint16_t) {
        inDataHandler_ = true;
        switch (random_() % 8) {
        case 0:
            Guarded("data close", [&] { cp->SetOpen(false); });
            break;
        case 1:
            Guarded("data wait", [&] { cp->WaitForString("\n", 1, true, false); });
            break;
        default:
            break;
        }
        inDataHandler_ = false;
    }
    void OnTimer(TKvdCustomComPort* cp, uint16_t handle) {
        if (random_() % 2 == 0) {
            Guarded("timer rearm", [&] { cp->SetTimerTrigger(handle, 1, true); });
        } else if (random_() % 8 == 0) {
            Guarded("timer wait", [&] { cp->WaitForString("S", 1, true, false); });
        }
    }
    void OnStatus(TKvdCustomComPort* cp, uint16_t) {
        if (random_() % 16 == 0) {
            Guarded("status close", [&] { cp->SetOpen(false); });
        }
    }
    void OnWaitChar(TKvdCustomComPort*, char c) {
        readIn_.Take(&c, 1, inDataHandler_ ? "wait in handler" : "wait");
    }

    // --- A direct handler on the dispatch thread
    void OnDispatchThread(uint32_t message, uint32_t wParam, int32_t) {
        TKvdBaseDispatcher* d = dispatchSide_.load();
        if (d == nullptr) {
            return;
        }
        if (message == msgTriggerTimer && wParam % 2 == 0) {
            tally_.Note("direct rearm", d->SetTimerTrigger(wParam, 2, true));
        }
    }

    // --- The main thread's steps
    void Step() {
        const uint32_t pick = random_() % 100;
        if (port_.PortState() == psShuttingDown) {
            watchdog_.Step("pump close");
            PumpUntil([&] { return port_.PortState() != psShuttingDown; }, kPumpMs);
        } else if (!port_.Open()) {
            watchdog_.Step("open");
            Guarded("open", [&] { port_.SetOpen(true); });
            Resync();
        } else if (pick < 30) {
            watchdog_.Step("put");
            std::string text;
            for (uint32_t n = random_() % 6 + 1; n > 0; --n) {
                text += Record('H', ++sentSequence_);
            }
            Guarded("PutString", [&] { port_.PutString(text); });
        } else if (pick < 50) {
            watchdog_.Step("read");
            Guarded("read", [&] {
                const uint16_t count = port_.InBuffUsed();
                std::string bytes(count, '\0');
                port_.GetBlock(bytes.data(), count);
                readIn_.Take(bytes.data(), count, "read");
            });
        } else if (pick < 65) {
            watchdog_.Step("wait");
            Guarded("WaitForString", [&] {
                port_.WaitForString(random_() % 2 == 0 ? "\n" : "S0", random_() % 3, true,
                                    random_() % 2 == 0);
            });
        } else if (pick < 70) {
            watchdog_.Step("pump");
            PumpUntil([] { return false; }, random_() % 10);
        } else if (pick < 80) {
            watchdog_.Step("settings");
            static const int32_t bauds[] = {9600, 19200, 57600, 115200, 230400, 1000000};
            Guarded("settings", [&] {
                port_.SetBaud(bauds[random_() % 6]);
                port_.SetParity(random_() % 2 == 0 ? pNone : pEven);
                port_.SetStopBits(random_() % 2 + 1);
            });
        } else if (pick < 87) {
            watchdog_.Step("lines");
            Guarded("lines", [&] {
                port_.SetDTR(random_() % 2 == 0);
                port_.SetRTS(random_() % 2 == 0);
            });
        } else if (pick < 92) {
            watchdog_.Step("flush");
            Guarded("flush", [&] {
                if (random_() % 2 == 0) {
                    port_.FlushInBuffer();
                    Resync();
                } else {
                    port_.FlushOutBuffer();
                }
            });
        } else if (pick < 95) {
            watchdog_.Step("trigger length");
            Guarded("trigger length", [&] { port_.SetTriggerLength(random_() % 40); });
        } else {
            watchdog_.Step("close");
            Guarded("close", [&] { port_.SetOpen(false); });
        }
    }

    // --- Worker threads on the dispatcher
    template <typename Body>
    void StartWorker(uint32_t seed, Body body) {
        workers_.emplace_back([this, seed, body] {
            std::minstd_rand random(seed);
            std::vector<uint32_t> handles;
            while (!stopWorkers_) {
                {
                    std::shared_lock guard(shared_);
                    if (published_ != nullptr) {
                        body(*published_, random, handles);
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            }
        });
    }

    static void TriggerStep(TCodeTally& tally, TKvdBaseDispatcher& d, std::minstd_rand& random,
                            std::vector<uint32_t>& handles) {
        static const char* patterns[] = {"S0", "\n", "0\nS", "ff"};
        const uint32_t pick = random() % 10;
        int32_t handle = 0;
        if (pick < 2 && handles.size() < 12) {
            handle = d.AddDataTrigger(patterns[random() % 4], random() % 2 == 0);
        } else if (pick < 4 && handles.size() < 12) {
            handle = d.AddTimerTrigger();
            if (handle > 0) {
                tally.Note("SetTimerTrigger", d.SetTimerTrigger(handle, random() % 3, true));
            }
        } else if (pick < 5 && handles.size() < 12) {
            handle = d.AddStatusTrigger(random() % 5 + 1);
            if (handle > 0) {
                tally.Note("SetStatusTrigger",
                           d.SetStatusTrigger(handle, random() % 64, random() % 2 == 0));
            }
        } else if (pick < 7 && !handles.empty()) {
            const uint32_t h = handles[random() % handles.size()];
            tally.Note("rearm timer", d.SetTimerTrigger(h, random() % 3, true));
            int32_t remaining = 0;
            tally.Note("TimerTicksRemaining", d.TimerTicksRemaining(h, remaining));
        } else if (!handles.empty()) {
            const size_t at = random() % handles.size();
            tally.Note("RemoveTrigger", d.RemoveTrigger(handles[at]));
            handles.erase(handles.begin() + static_cast<std::ptrdiff_t>(at));
        }
        tally.Note("add trigger", handle);
        if (handle > 0) {
            handles.push_back(static_cast<uint32_t>(handle));
        }
    }

    static void LineStep(TCodeTally& tally, TKvdBaseDispatcher& d, std::minstd_rand& random) {
        switch (random() % 8) {
        case 0:
            tally.Note("SetDtr", d.SetDtr(random() % 2 == 0));
            break;
        case 1:
            tally.Note("SetRts", d.SetRts(random() % 2 == 0));
            break;
        case 2:
            tally.Note("SetModem", d.SetModem(random() % 2 == 0, random() % 2 == 0));
            break;
        case 3:
            tally.Note("SetLine", d.SetLine(random() % 2 == 0 ? 38400 : 115200, 5, 9, 1));
            break;
        case 4:
            tally.Note("FlushOutBuffer", d.FlushOutBuffer());
            break;
        case 5:
            d.GetModemStatus();
            d.GetLineError();
            break;
        case 6:
            d.OutBuffUsed();
            d.InBuffUsed();
            break;
        default:
            tally.Note("FlushInBuffer", d.FlushInBuffer());
            break;
        }
    }

    const uint32_t seed_;
    const uint32_t runMs_;
    std::minstd_rand random_;
    TChaosFarEnd far_;
    TKvdComPort port_;
    TRecordChecker readIn_{'S'};
    TCodeTally tally_;
    TWatchdog watchdog_;
    uint32_t sentSequence_ = 0;
    bool inDataHandler_ = false;
    std::shared_mutex shared_;
    TKvdBaseDispatcher* published_ = nullptr;
    std::atomic<TKvdBaseDispatcher*> dispatchSide_{nullptr};
    std::atomic<bool> stopWorkers_{false};
    std::vector<std::thread> workers_;
};

TEST_F(PortChaos, ThreadsAtOnceKeepOrderCodesAndResources) {
    std::printf("chaos: seed %u, %u ms\n", seed_, runMs_);
    // A first open and close makes what lives as long as the process (the thread's wait
    // descriptor among it) before the count is taken.
    port_.SetOpen(true);
    port_.SetOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return port_.PortState() == psClosed; }, kPumpMs));
    const size_t threads = EntriesIn("/proc/self/task");
    ASSERT_TRUE(PumpUntil(
        [] {
            const bool made = BeginPolledWait() >= 0;
            EndPolledWait();
            return made;
        },
        kPumpMs));
    const size_t descriptors = EntriesIn("/proc/self/fd") - far_.Descriptors();

    far_.Start();
    StartWorker(seed_ * 31, [this](TKvdBaseDispatcher& d, std::minstd_rand& random,
                                   std::vector<uint32_t>& handles) {
        TriggerStep(tally_, d, random, handles);
    });
    StartWorker(seed_ * 37, [this](TKvdBaseDispatcher& d, std::minstd_rand& random,
                                   std::vector<uint32_t>&) { LineStep(tally_, d, random); });
    const uint32_t start = KvTimeGetTime();
    uint32_t steps = 0;
    while (KvTimeGetTime() - start < runMs_ && !HasFailure()) {
        Step();
        ++steps;
        ASSERT_EQ(tally_.Unknown(), "");
    }
    watchdog_.Step("end");
    far_.Stop();
    stopWorkers_ = true;
    for (auto& worker : workers_) {
        worker.join();
    }
    workers_.clear();
    port_.SetOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return port_.PortState() == psClosed; }, kPumpMs));

    std::printf("chaos: %u steps, %u records in, %u records out, %u hang-ups\n", steps,
                readIn_.Good(), far_.Received().Good(), far_.Hangups());
    tally_.Print();
    EXPECT_EQ(readIn_.Fault(), "");
    EXPECT_EQ(far_.Received().Fault(), "");
    EXPECT_GT(readIn_.Good(), 0u);
    EXPECT_GT(far_.Received().Good(), 0u);
    EXPECT_TRUE(PumpUntil([&] { return EntriesIn("/proc/self/task") <= threads; }, kPumpMs))
        << EntriesIn("/proc/self/task") << " threads against " << threads;
    EXPECT_EQ(EntriesIn("/proc/self/fd") - far_.Descriptors(), descriptors);
}

} // namespace
} // namespace kivo::testing
