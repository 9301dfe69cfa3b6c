// Finding the machine's serial ports in a simulated sysfs tree, numbering them, and noticing
// ports that come and go.
#include "comm/platform/hotplug.h"
#include "comm/platform/portmap.h"
#include "comm/platform/pty.h"
#include "tests/fakes/descriptor_limit.h"
#include "tests/fakes/scratchdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace kivo {
namespace {

namespace fs = std::filesystem;
using testing::TScratchDir;

// A sysfs and /dev layout as the kernel and udev make it, reduced to what the scan reads.
class FakeMachine {
public:
    explicit FakeMachine(const fs::path& root) : sys_(root / "sys"), dev_(root / "dev") {
        fs::create_directories(sys_ / "class" / "tty");
        fs::create_directories(dev_ / "serial" / "by-id");
        fs::create_directories(sys_ / "bus" / "platform" / "drivers" / "serial8250");
    }

    TPortScanRoots Roots() const { return {sys_.string(), dev_.string()}; }
    fs::path ByIdLink(const std::string& name) const {
        return dev_ / "serial" / "by-id" / ("usb-FTDI_" + name);
    }

    void AddUart(const std::string& name, const std::string& type) {
        const fs::path platform = sys_ / "devices" / "platform" / "serial8250";
        fs::create_directories(platform);
        LinkDriver(platform, "platform", "serial8250");
        const fs::path tty = platform / "tty" / name;
        fs::create_directories(tty);
        Write(tty / "type", type);
        Link(tty / "device", platform);
        Publish(name, tty);
    }

    // A USB serial adapter: USB device, its interface, the usb-serial port, its tty.
    void AddUsbSerial(const std::string& name, const std::string& usbName) {
        const fs::path usb = UsbDevice(usbName, "0403", "6001", "FTDI", "FT232R USB UART");
        const fs::path port = usb / (usbName + ":1.0") / name;
        fs::create_directories(port / "tty" / name);
        Write(usb / (usbName + ":1.0") / "bInterfaceNumber", "00");
        Write(usb / (usbName + ":1.0") / "interface", "Port A");
        LinkDriver(port, "usb-serial", "ftdi_sio");
        Link(port / "tty" / name / "device", port);
        Publish(name, port / "tty" / name);
        std::ofstream(dev_ / name).flush();
        fs::create_symlink("../../" + name, ByIdLink(name));
    }

    void AddAcm(const std::string& name, const std::string& usbName) {
        const fs::path usb = UsbDevice(usbName, "2341", "0043", "Arduino", "Uno");
        const fs::path interface = usb / (usbName + ":1.0");
        fs::create_directories(interface / "tty" / name);
        Write(interface / "bInterfaceNumber", "00");
        LinkDriver(interface, "usb", "cdc_acm");
        Link(interface / "tty" / name / "device", interface);
        Publish(name, interface / "tty" / name);
    }

    void AddVirtual(const std::string& name) {
        const fs::path tty = sys_ / "devices" / "virtual" / "tty" / name;
        fs::create_directories(tty);
        Publish(name, tty);
    }

    void Remove(const std::string& name) { fs::remove(sys_ / "class" / "tty" / name); }

private:
    fs::path UsbDevice(const std::string& usbName, const std::string& vendor,
                       const std::string& product, const std::string& maker,
                       const std::string& productName) {
        const fs::path usb = sys_ / "devices" / "pci0000:00" / "usb1" / usbName;
        fs::create_directories(usb);
        Write(usb / "idVendor", vendor);
        Write(usb / "idProduct", product);
        Write(usb / "manufacturer", maker);
        Write(usb / "product", productName);
        Write(usb / "serial", "A1B2");
        return usb;
    }
    void LinkDriver(const fs::path& device, const std::string& bus, const std::string& driver) {
        const fs::path dir = sys_ / "bus" / bus / "drivers" / driver;
        fs::create_directories(dir);
        Link(device / "driver", dir);
    }
    void Publish(const std::string& name, const fs::path& tty) {
        Link(sys_ / "class" / "tty" / name, tty);
    }
    static void Link(const fs::path& at, const fs::path& target) {
        if (fs::is_symlink(at)) {
            return;
        }
        fs::create_directory_symlink(fs::relative(target, at.parent_path()), at);
    }
    static void Write(const fs::path& file, const std::string& text) {
        std::ofstream(file) << text << "\n";
    }

    fs::path sys_;
    fs::path dev_;
};

class PortEnumTest : public ::testing::Test {
protected:
    PortEnumTest() : machine_(scratch_.Path()) {
        machine_.AddUart("ttyS0", "4");
        machine_.AddUart("ttyS1", "0");
        machine_.AddUart("ttyS10", "4");
        machine_.AddUart("ttyS2", "4");
        machine_.AddUsbSerial("ttyUSB0", "1-1");
        machine_.AddAcm("ttyACM0", "1-2");
        machine_.AddVirtual("tty0");
        machine_.AddVirtual("console");
    }
    ~PortEnumTest() override { SetPortScanRoots({}); }

    TScratchDir scratch_;
    FakeMachine machine_;
};

std::vector<std::string> Names(const std::vector<TPortInfo>& ports) {
    std::vector<std::string> names;
    for (const TPortInfo& port : ports) {
        names.push_back(port.Name + "=" + fs::path(port.Path).filename().string());
    }
    return names;
}

TEST_F(PortEnumTest, FindsRealPortsOnlyInNameOrder) {
    const std::vector<TPortInfo> ports = ScanSerialDevices(machine_.Roots());
    EXPECT_EQ(Names(ports), (std::vector<std::string>{"COM1=ttyACM0", "COM2=ttyS0", "COM3=ttyS2",
                                                      "COM4=ttyS10", "COM5=ttyUSB0"}));
}

// The scan sorts with this order, and a sort may read past the list's ends when an order is
// not the same for any three names.
TEST(PortNameOrder, NumbersCountAsWholesAndAnyThreeNamesAgree) {
    EXPECT_TRUE(PortNameLess("ttyS2", "ttyS10"));
    EXPECT_TRUE(PortNameLess("ttyACM0", "ttyS0"));
    EXPECT_TRUE(PortNameLess("ttyS10", "ttyUSB0"));
    EXPECT_TRUE(PortNameLess("ttyS", "ttyS0"));
    const std::vector<std::string> names{"ttyS9",  "ttyS10", "ttyS1x", "ttyS1", "ttyS01",
                                         "ttyS",   "ttyS0",  "ttyS00", "ab1",   "ab-x",
                                         "tty10A", "tty9B",  "ttyUSB0"};
    for (const std::string& a : names) {
        EXPECT_FALSE(PortNameLess(a, a)) << a;
        for (const std::string& b : names) {
            if (a != b) {
                EXPECT_NE(PortNameLess(a, b), PortNameLess(b, a)) << a << " " << b;
            }
            for (const std::string& c : names) {
                if (PortNameLess(a, b) && PortNameLess(b, c)) {
                    EXPECT_TRUE(PortNameLess(a, c)) << a << " < " << b << " < " << c;
                }
            }
        }
    }
}

TEST_F(PortEnumTest, DescribesUsbAdaptersAndUarts) {
    const std::vector<TPortInfo> ports = ScanSerialDevices(machine_.Roots());
    ASSERT_EQ(ports.size(), 5u);
    const TPortInfo& acm = ports[0];
    EXPECT_TRUE(acm.IsUsb);
    EXPECT_EQ(acm.VendorId, 0x2341);
    EXPECT_EQ(acm.ProductId, 0x0043);
    EXPECT_EQ(acm.Driver, "cdc_acm");
    EXPECT_EQ(acm.Description, "Uno");
    EXPECT_EQ(acm.Location, "1-2:1.0");
    EXPECT_EQ(acm.Interface, "");
    EXPECT_TRUE(acm.ById.empty());

    const TPortInfo& uart = ports[1];
    EXPECT_FALSE(uart.IsUsb);
    EXPECT_EQ(uart.Driver, "serial8250");
    EXPECT_EQ(uart.Description, "Serial port");
    EXPECT_EQ(uart.Path, machine_.Roots().Dev + "/ttyS0");
    EXPECT_EQ(uart.Location, "");

    const TPortInfo& usb = ports[4];
    EXPECT_TRUE(usb.IsUsb);
    EXPECT_EQ(usb.VendorId, 0x0403);
    EXPECT_EQ(usb.ProductId, 0x6001);
    EXPECT_EQ(usb.Manufacturer, "FTDI");
    EXPECT_EQ(usb.Product, "FT232R USB UART");
    EXPECT_EQ(usb.SerialNumber, "A1B2");
    EXPECT_EQ(usb.Driver, "ftdi_sio");
    EXPECT_EQ(usb.Location, "1-1:1.0");
    EXPECT_EQ(usb.Interface, "Port A");
    EXPECT_EQ(fs::path(usb.ById).filename(), "usb-FTDI_ttyUSB0");
}

// A tree that is no sysfs (a chroot's, a copy) may hold anything at an attribute's name: an
// endless device or a pipe without a writer is read as a missing attribute, not waited on.
TEST_F(PortEnumTest, AttributesThatAreNoFilesReadAsMissing) {
    if (!fs::is_character_file("/dev/zero")) {
        GTEST_SKIP() << "no /dev/zero on this machine";
    }
    const fs::path usb = fs::path(machine_.Roots().Sys) / "devices" / "pci0000:00" / "usb1" / "1-1";
    fs::remove(usb / "product");
    fs::create_symlink("/dev/zero", usb / "product");
    fs::remove(usb / "manufacturer");
    ASSERT_EQ(mkfifo((usb / "manufacturer").c_str(), 0600), 0);

    const std::vector<TPortInfo> ports = ScanSerialDevices(machine_.Roots());
    ASSERT_EQ(ports.size(), 5u);
    const TPortInfo& adapter = ports[4];
    EXPECT_EQ(adapter.VendorId, 0x0403);
    EXPECT_EQ(adapter.Product, "");
    EXPECT_EQ(adapter.Manufacturer, "");
    EXPECT_EQ(adapter.SerialNumber, "A1B2");
    EXPECT_EQ(adapter.Description, "USB serial adapter");
}

TEST_F(PortEnumTest, RegistrationsTakeTheirNumberAndTheRestComeFromTheScan) {
    SetPortScanRoots(machine_.Roots());
    TPtyPair pty;
    ASSERT_EQ(PtyOpen(pty), 0);
    ASSERT_EQ(RegisterComPort(2, pty.SlavePath), 0);
    ASSERT_EQ(RegisterComPort(9, pty.SlavePath), 0);

    EXPECT_EQ(ComPortPath(1), machine_.Roots().Dev + "/ttyACM0");
    EXPECT_EQ(ComPortPath(2), pty.SlavePath);
    EXPECT_EQ(ComPortPath(3), machine_.Roots().Dev + "/ttyS2");
    EXPECT_EQ(ComPortPath(6), "");
    EXPECT_EQ(ComPortPath(0), "");
    EXPECT_EQ(ComPortPath(kMaxComPort + 1), "");

    const std::vector<TPortInfo> ports = EnumerateComPorts();
    ASSERT_EQ(ports.size(), 6u);
    EXPECT_EQ(ports[1].Name, "COM2");
    EXPECT_EQ(ports[1].Description, "Pseudo-terminal");
    EXPECT_EQ(ports[5].Name, "COM9");
    EXPECT_EQ(ports[5].Path, pty.SlavePath);

    // A stable name given for a port is described as the adapter it leads to.
    const std::string stable = machine_.ByIdLink("ttyUSB0").string();
    ASSERT_EQ(RegisterComPort(9, stable), 0);
    const TPortInfo adapter = EnumerateComPorts().back();
    EXPECT_EQ(adapter.Path, stable);
    EXPECT_EQ(adapter.ById, stable);
    EXPECT_EQ(adapter.Description, "FT232R USB UART");
    UnregisterComPort(2);
    UnregisterComPort(9);
    PtyClose(pty);
}

TEST_F(PortEnumTest, AMissingTreeHasNoPorts) {
    EXPECT_TRUE(ScanSerialDevices({scratch_.File("nothing"), scratch_.File("nothing")}).empty());
}

// A tree the ports cannot be looked for in (no sysfs mounted, or a tty class that is no
// directory) is told apart from one without ports; the registered ports are listed all the same.
TEST_F(PortEnumTest, AScanThatCannotLookSaysWhy) {
    std::error_code error = std::make_error_code(std::errc::io_error);
    EXPECT_EQ(ScanSerialDevices(machine_.Roots(), error).size(), 5u);
    EXPECT_FALSE(error);

    EXPECT_TRUE(
        ScanSerialDevices({scratch_.File("nothing"), scratch_.File("nothing")}, error).empty());
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);

    fs::create_directories(scratch_.File("flat/class"));
    std::ofstream(scratch_.File("flat/class/tty")).flush();
    SetPortScanRoots({scratch_.File("flat"), scratch_.File("flat")});
    ASSERT_EQ(RegisterComPort(4, scratch_.File("line")), 0);
    const std::vector<TPortInfo> ports = EnumerateComPorts(error);
    EXPECT_EQ(error, std::errc::not_a_directory);
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].Name, "COM4");
    UnregisterComPort(4);
}

TEST_F(PortEnumTest, WatcherSeesAPortAppearAndDisappear) {
    TPortWatcher watcher(machine_.Roots());
    EXPECT_EQ(watcher.Ports().size(), 5u);

    machine_.AddUsbSerial("ttyUSB1", "1-3");
    std::vector<TPortChange> changes = watcher.Wait(10000);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_TRUE(changes[0].Added);
    EXPECT_EQ(fs::path(changes[0].Port.Path).filename(), "ttyUSB1");
    EXPECT_EQ(changes[0].Port.Name, "COM6");

    machine_.Remove("ttyACM0");
    changes = watcher.Wait(10000);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_FALSE(changes[0].Added);
    EXPECT_EQ(fs::path(changes[0].Port.Path).filename(), "ttyACM0");
    EXPECT_EQ(watcher.Ports().size(), 5u);
}

// A scan that could not look (here the process is out of descriptors when a port goes) is no
// news of the ports: they are not reported gone, and the next scan that can look tells what
// changed since the last one that could.
TEST_F(PortEnumTest, WatcherTakesAFailedScanForNoChange) {
    TPortWatcher watcher(machine_.Roots());
    testing::TDescriptorLimit limit(0);
    ASSERT_TRUE(limit.Lowered());
    machine_.Remove("ttyACM0");
    EXPECT_TRUE(watcher.Wait(200).empty());
    limit.Restore();
    EXPECT_EQ(watcher.Ports().size(), 5u);

    machine_.Remove("ttyS0");
    const std::vector<TPortChange> changes = watcher.Wait(10000);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_FALSE(changes[0].Added);
    EXPECT_FALSE(changes[1].Added);
    EXPECT_EQ(fs::path(changes[0].Port.Path).filename(), "ttyACM0");
    EXPECT_EQ(fs::path(changes[1].Port.Path).filename(), "ttyS0");
}

TEST_F(PortEnumTest, WatcherWaitEndsOnCancelOrTimeOut) {
    TPortWatcher watcher(machine_.Roots());
    EXPECT_TRUE(watcher.Wait(20).empty());
    watcher.Cancel();
    EXPECT_TRUE(watcher.Wait(-1).empty());
}

TEST_F(PortEnumTest, WatcherWithoutDescriptorsDoesNotWaitForEver) {
    testing::TDescriptorLimit limit(0);
    ASSERT_TRUE(limit.Lowered());
    TPortWatcher watcher(machine_.Roots());
    limit.Restore();
    watcher.Cancel();
    EXPECT_TRUE(watcher.Wait(-1).empty());
}

} // namespace
} // namespace kivo
