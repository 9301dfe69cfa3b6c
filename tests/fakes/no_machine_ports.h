// Keeps the machine's own serial ports out of the port scan while a test runs: the scan looks
// into an empty directory, so that the port selection never opens a developer's devices (an open
// raises DTR, which resets many boards). The earlier scan roots come back at the end.
#pragma once

#include "comm/platform/portmap.h"
#include "tests/fakes/scratchdir.h"

namespace kivo::testing {

class TNoMachinePorts {
public:
    TNoMachinePorts() : previous_(PortScanRoots()) {
        SetPortScanRoots({empty_.Path().string(), empty_.Path().string()});
    }
    ~TNoMachinePorts() { SetPortScanRoots(previous_); }
    TNoMachinePorts(const TNoMachinePorts&) = delete;
    TNoMachinePorts& operator=(const TNoMachinePorts&) = delete;

private:
    TScratchDir empty_;
    TPortScanRoots previous_;
};

} // namespace kivo::testing
