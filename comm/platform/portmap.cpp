// The port map and the scan of sysfs for serial devices.
#include "comm/platform/portmap.h"

#include "comm/platform/serial.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>

namespace kivo {

namespace fs = std::filesystem;

namespace {

struct PortMap {
    std::mutex lock;
    std::map<int, std::string> registered;
    TPortScanRoots roots;
};

PortMap& ThePortMap() {
    static PortMap* map = new PortMap; // never destroyed: ports may be opened during exit
    return *map;
}

// A sysfs attribute is a regular file of at most a page, and only its first line is wanted.
// Anything else the tree may hold at its name (a device such as /dev/zero that never ends, a
// serial device whose open would reset what is on the line, a pipe whose open waits for a
// writer) is taken for an attribute that is not there.
std::string ReadAttribute(const fs::path& file) {
    struct stat info {};
    if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char buffer[4096];
    ssize_t got = 0;
    do {
        got = read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    close(fd);
    const std::string_view text(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    std::string value(text.substr(0, text.find('\n')));
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
        value.pop_back();
    }
    return value;
}

uint16_t HexAttribute(const fs::path& file) {
    return static_cast<uint16_t>(std::strtoul(ReadAttribute(file).c_str(), nullptr, 16));
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

// A line driven by the serial core reports its UART type; 0 means no UART answers there, so
// the line is a placeholder rather than a port.
bool HasNoUart(const fs::path& ttyDir) {
    const fs::path type = ttyDir / "type";
    return Exists(type) && ReadAttribute(type) == "0";
}

std::string LinkTargetName(const fs::path& link) {
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.filename().string();
}

// The USB device above a tty's device: the first ancestor with a vendor id. The interface on
// the way to it tells where the adapter is plugged in and, on an adapter with several ports,
// which of them this is.
void FillUsbAttributes(const fs::path& ttyDir, TPortInfo& info) {
    std::error_code error;
    fs::path dir = fs::canonical(ttyDir / "device", error);
    for (int level = 0; !error && level < 4 && !dir.empty(); ++level, dir = dir.parent_path()) {
        if (Exists(dir / "bInterfaceNumber")) {
            info.Location = dir.filename().string();
            info.Interface = ReadAttribute(dir / "interface");
        }
        if (Exists(dir / "idVendor")) {
            info.IsUsb = true;
            info.VendorId = HexAttribute(dir / "idVendor");
            info.ProductId = HexAttribute(dir / "idProduct");
            info.Manufacturer = ReadAttribute(dir / "manufacturer");
            info.Product = ReadAttribute(dir / "product");
            info.SerialNumber = ReadAttribute(dir / "serial");
            return;
        }
    }
}

// Stable names: device path -> its link in /dev/serial/by-id.
std::map<std::string, std::string> ByIdLinks(const fs::path& devRoot) {
    std::map<std::string, std::string> links;
    std::error_code error;
    const fs::path byId = devRoot / "serial" / "by-id";
    for (fs::directory_iterator it(byId, error), end; !error && it != end; it.increment(error)) {
        std::error_code linkError;
        const fs::path target = fs::read_symlink(it->path(), linkError);
        if (!linkError) {
            links[(byId / target).lexically_normal().string()] = it->path().string();
        }
    }
    return links;
}

std::string LinkTo(const std::map<std::string, std::string>& links, const std::string& path) {
    auto link = links.find(path);
    return link != links.end() ? link->second : "";
}

std::string KindDescription(const std::string& name) {
    if (name.rfind("ttyUSB", 0) == 0) {
        return "USB serial adapter";
    }
    if (name.rfind("ttyACM", 0) == 0) {
        return "USB modem (ACM)";
    }
    return "Serial port";
}

TPortInfo DescribeTty(const fs::path& ttyDir, const fs::path& devRoot) {
    TPortInfo info;
    const std::string name = ttyDir.filename().string();
    info.Path = (devRoot / name).string();
    info.Driver = LinkTargetName(ttyDir / "device" / "driver");
    FillUsbAttributes(ttyDir, info);
    info.Description = info.Product.empty() ? KindDescription(name) : info.Product;
    return info;
}

void Number(TPortInfo& info, int number) {
    info.ComNumber = number;
    info.Name = "COM" + std::to_string(number);
}

std::string EnvironmentPath(int number) {
    const char* value = std::getenv(("KIVO_COM" + std::to_string(number)).c_str());
    return value != nullptr ? value : "";
}

std::string RegisteredPath(int number) {
    PortMap& map = ThePortMap();
    std::lock_guard guard(map.lock);
    auto it = map.registered.find(number);
    return it != map.registered.end() ? it->second : EnvironmentPath(number);
}

// A registered path described from sysfs when it leads to a tty found there.
TPortInfo DescribeRegistered(const std::string& path, const TPortScanRoots& roots) {
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    const fs::path ttyDir = fs::path(roots.Sys) / "class" / "tty" / real.filename();
    TPortInfo info;
    if (!error && !real.filename().empty() && Exists(ttyDir / "device")) {
        info = DescribeTty(ttyDir, roots.Dev);
        info.ById = LinkTo(ByIdLinks(roots.Dev), info.Path);
    } else if (!error && real.parent_path() == "/dev/pts") {
        info.Description = "Pseudo-terminal";
    } else {
        info.Description = "Serial device";
    }
    info.Path = path;
    return info;
}

} // namespace

void SetPortScanRoots(const TPortScanRoots& roots) {
    PortMap& map = ThePortMap();
    std::lock_guard guard(map.lock);
    map.roots = roots;
}

TPortScanRoots PortScanRoots() {
    PortMap& map = ThePortMap();
    std::lock_guard guard(map.lock);
    return map.roots;
}

// Every run of digits counts as one number and sorts among the other characters where its first
// digit would; names that differ only in leading zeros keep the order of their characters. Taken
// character by character with the numbers as wholes, the order is the same for any three names
// (the sort relies on that), which an order that treats only a trailing number as one is not:
// ttyS9 < ttyS10 by number, ttyS10 < ttyS1x and ttyS1x < ttyS9 by character.
bool PortNameLess(const std::string& a, const std::string& b) {
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    const auto numberEnd = [&](const std::string& s, size_t from) {
        while (from < s.size() && isDigit(s[from])) {
            ++from;
        }
        return from;
    };
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const size_t aEnd = numberEnd(a, i);
            const size_t bEnd = numberEnd(b, j);
            const size_t aFrom = std::min(a.find_first_not_of('0', i), aEnd);
            const size_t bFrom = std::min(b.find_first_not_of('0', j), bEnd);
            if (aEnd - aFrom != bEnd - bFrom) {
                return aEnd - aFrom < bEnd - bFrom;
            }
            const int order = a.compare(aFrom, aEnd - aFrom, b, bFrom, bEnd - bFrom);
            if (order != 0) {
                return order < 0;
            }
            i = aEnd;
            j = bEnd;
        } else if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        } else {
            ++i;
            ++j;
        }
    }
    if ((i < a.size()) != (j < b.size())) {
        return j < b.size();
    }
    return a < b;
}

std::vector<TPortInfo> ScanSerialDevices(const TPortScanRoots& roots) {
    std::error_code ignored;
    return ScanSerialDevices(roots, ignored);
}

std::vector<TPortInfo> ScanSerialDevices(const TPortScanRoots& roots, std::error_code& error) {
    std::vector<fs::path> ttys;
    error.clear();
    const fs::path classDir = fs::path(roots.Sys) / "class" / "tty";
    for (fs::directory_iterator it(classDir, error), end; !error && it != end;
         it.increment(error)) {
        if (Exists(it->path() / "device") && !HasNoUart(it->path())) {
            ttys.push_back(it->path());
        }
    }
    std::sort(ttys.begin(), ttys.end(), [](const fs::path& a, const fs::path& b) {
        return PortNameLess(a.filename().string(), b.filename().string());
    });
    const std::map<std::string, std::string> byId = ByIdLinks(roots.Dev);
    std::vector<TPortInfo> ports;
    for (const fs::path& tty : ttys) {
        TPortInfo info = DescribeTty(tty, roots.Dev);
        info.ById = LinkTo(byId, info.Path);
        Number(info, static_cast<int>(ports.size()) + 1);
        ports.push_back(std::move(info));
    }
    return ports;
}

// A path with a NUL in it would open the device named by what comes before the NUL.
int RegisterComPort(int number, const std::string& path) {
    if (number < 1 || number > kMaxComPort || path.empty() ||
        path.find('\0') != std::string::npos) {
        SetSerialLastError(kSerialBadArgument);
        return -kSerialBadArgument;
    }
    PortMap& map = ThePortMap();
    std::lock_guard guard(map.lock);
    map.registered[number] = path;
    return 0;
}

void UnregisterComPort(int number) {
    PortMap& map = ThePortMap();
    std::lock_guard guard(map.lock);
    map.registered.erase(number);
}

std::string ComPortPath(int number) {
    if (number < 1 || number > kMaxComPort) {
        return {};
    }
    std::string path = RegisteredPath(number);
    if (!path.empty()) {
        return path;
    }
    const std::vector<TPortInfo> found = ScanSerialDevices(PortScanRoots());
    return static_cast<size_t>(number) <= found.size() ? found[number - 1].Path : "";
}

std::vector<TPortInfo> EnumerateComPorts() {
    std::error_code ignored;
    return EnumerateComPorts(ignored);
}

std::vector<TPortInfo> EnumerateComPorts(std::error_code& error) {
    const TPortScanRoots roots = PortScanRoots();
    const std::vector<TPortInfo> found = ScanSerialDevices(roots, error);
    std::vector<TPortInfo> ports;
    for (int number = 1; number <= kMaxComPort; ++number) {
        const std::string path = RegisteredPath(number);
        if (!path.empty()) {
            ports.push_back(DescribeRegistered(path, roots));
        } else if (static_cast<size_t>(number) <= found.size()) {
            ports.push_back(found[number - 1]);
        } else {
            continue;
        }
        Number(ports.back(), number);
    }
    return ports;
}

bool StartsWithCom(std::string_view text) {
    const auto upper = [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    };
    return text.size() >= 3 && upper(text[0]) == 'C' && upper(text[1]) == 'O' &&
           upper(text[2]) == 'M';
}

} // namespace kivo
