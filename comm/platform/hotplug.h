// Hot-plug: notice serial ports appearing and disappearing.
//
// The watcher listens to the kernel's device announcements (netlink) and to changes of the tty
// class directory and of the device directory (inotify, which also covers a simulated tree),
// and rescans the ports when one of them moves. It blocks while nothing happens.
#pragma once

#include "comm/platform/portmap.h"

#include <vector>

namespace kivo {

struct TPortChange {
    bool Added = false; // false: the port disappeared
    TPortInfo Port;     // numbered as in the scan it was found in (or last seen in)
};

class TPortWatcher {
public:
    explicit TPortWatcher(const TPortScanRoots& roots = PortScanRoots());
    ~TPortWatcher();
    TPortWatcher(const TPortWatcher&) = delete;
    TPortWatcher& operator=(const TPortWatcher&) = delete;

    // The ports as of the last scan.
    const std::vector<TPortInfo>& Ports() const { return known_; }

    // Blocks until ports appeared or disappeared since the previous scan, the time-out passes
    // (milliseconds; negative: none) or Cancel was called; returns the changes, empty after a
    // time-out or a cancel. A scan that could not look for the ports counts as no change. Only
    // one thread may wait. A watcher that could not get the descriptor that cancels it returns
    // at once.
    std::vector<TPortChange> Wait(int timeoutMs = -1);

    // From any thread: ends the pending wait, and every later wait returns at once.
    void Cancel();

private:
    bool DrainSources(bool netlinkReady, bool inotifyReady);
    std::vector<TPortChange> Rescan();

    TPortScanRoots roots_;
    std::vector<TPortInfo> known_;
    int netlinkFd_ = -1;
    int inotifyFd_ = -1;
    int cancelFd_ = -1;
};

} // namespace kivo
