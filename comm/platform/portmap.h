// The port map: which device a port number stands for, and the serial ports of the machine.
//
// Port n ("\\.\COMn") is the path registered for n (through RegisterComPort, or the environment
// variable KIVO_COM<n>=<path>; a registration wins over the environment), otherwise the n-th
// serial device found in sysfs: real UARTs (a ttyS line whose port type says there is no UART
// is left out), USB serial adapters and USB modems (ACM), in name order (ttyS2 before ttyS10).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kivo {

constexpr int kMaxComPort = 255;

struct TPortInfo {
    int ComNumber = 0;
    std::string Name; // "COMn"
    std::string Path; // the device path to open
    std::string Driver;
    bool IsUsb = false;
    uint16_t VendorId = 0;
    uint16_t ProductId = 0;
    std::string Manufacturer;
    std::string Product;
    std::string SerialNumber;
    std::string Location;  // the USB interface's place on the bus ("1-1.2:1.0"): the socket in use
    std::string Interface; // the USB interface's own name; tells the ports of one adapter apart
    std::string ById;      // the stable /dev/serial/by-id link, empty when there is none
    std::string Description; // for a selection list: the USB product name or the kind of port
};

// Where the scan looks; a test points them at a simulated tree.
struct TPortScanRoots {
    std::string Sys = "/sys";
    std::string Dev = "/dev";
};
void SetPortScanRoots(const TPortScanRoots& roots);
TPortScanRoots PortScanRoots();

// The name order of the scan: numbers in names compared as numbers (ttyS2 before ttyS10).
bool PortNameLess(const std::string& a, const std::string& b);

// The serial devices found under the roots, numbered 1, 2, ... in name order. The second form
// also tells why the ports could not be looked for: `error` holds the failure to read the tty
// class directory (missing where no sysfs is mounted, or not readable), and is cleared when the
// scan could look; the first takes such a tree for one without ports.
std::vector<TPortInfo> ScanSerialDevices(const TPortScanRoots& roots);
std::vector<TPortInfo> ScanSerialDevices(const TPortScanRoots& roots, std::error_code& error);

// Puts `path` at port `number` (1 ... kMaxComPort): 0, or -kSerialBadArgument for a number out
// of range or an empty path. UnregisterComPort takes the registration away again.
int RegisterComPort(int number, const std::string& path);
void UnregisterComPort(int number);

// The device path of port `number`; empty when the port does not exist.
std::string ComPortPath(int number);

// Every port number that stands for a device, ascending, described for a selection list. The
// second form gives the scan's failure as ScanSerialDevices does; the registered ports are listed
// all the same.
std::vector<TPortInfo> EnumerateComPorts();
std::vector<TPortInfo> EnumerateComPorts(std::error_code& error);

// Whether `text` starts with the "COM" of a port's name, in any case ("COM5", "com5", "Com5").
bool StartsWithCom(std::string_view text);

} // namespace kivo
