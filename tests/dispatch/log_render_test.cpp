#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/dispatch/kwuser.h"
#include "comm/dispatch/kwuser_render.h"

namespace kivo {
namespace {

std::string Entry(uint8_t type, uint8_t subType, uint32_t time, uint32_t data,
                  const std::string& block = "", bool inHex = false, bool allHex = false) {
    const TDispatchRecord header{type, subType, {0, 0},
                                 time, data,    static_cast<uint32_t>(block.size())};
    const std::vector<uint8_t> bytes(block.begin(), block.end());
    std::string out;
    RenderLogEntry(header, bytes, inHex, allHex, out);
    return out;
}

const std::string kIndent(44, ' ');

TEST(LogText, EntryLinesHaveTheFixedColumnsThenTheBlock) {
    EXPECT_EQ(Entry(dtTrigger, dstData, 1234, 16),
              "0001.234  Trigger   Data          00000010  \r\n");
    EXPECT_EQ(Entry(dtDispatch, dstReadCom, 1240, 2, "OK"),
              "0001.240  Dispatch  ReadCom       00000002  OK\r\n");
    EXPECT_EQ(Entry(dtUser, dstNone, 0, 0, "hi"),
              "0000.000  User                    00000000  hi\r\n");
    EXPECT_EQ(Entry(dtError, dstLineStatus, 12345, 0xABCDEF01),
              "0012.345  Error     Line status   ABCDEF01  \r\n");
    EXPECT_EQ(Entry(dtThread, dstThreadStart, 98765432, 1),
              "98765.432  Thread    Start         00000001  \r\n");
}

TEST(LogText, TypesAndSubTypesOutsideTheTablesShowEmptyColumns) {
    EXPECT_EQ(Entry(200, 252, 0, 0),
              "0000.000" + std::string(2 + 8 + 2 + 12 + 2, ' ') + "00000000  \r\n");
    EXPECT_EQ(Entry(dtPacket, dstCollecting, 0, 0),
              "0000.000  Packet    Collecting    00000000  \r\n");
}

TEST(LogText, StatusTriggerChangesNameTheStatusKind) {
    EXPECT_EQ(Entry(dtTriggerAlloc, dstStatusTrigger, 0, 0x1B, std::string(1, '\x03')),
              "0000.000  TrigAllc  Status        0000001B  (Output buffer free)\r\n");
    EXPECT_EQ(Entry(dtTriggerDispose, dstStatusTrigger, 0, 0x1D, std::string(1, '\x05')),
              "0000.000  TrigDisp  Status        0000001D  (Output sent)\r\n");
    EXPECT_EQ(Entry(dtTriggerDispose, dstStatusTrigger, 0, 0x1E, std::string(1, '\x06')),
              "0000.000  TrigDisp  Status        0000001E  \r\n");
    // Other trigger kinds show their block as data.
    EXPECT_EQ(Entry(dtTriggerAlloc, dstDataTrigger, 0, 8, "OK"),
              "0000.000  TrigAllc  Data          00000008  OK\r\n");
}

TEST(LogText, ModemStatusEntriesNameTheBitsThatAreSet) {
    EXPECT_EQ(Entry(dtDispatch, dstModemStatus, 0, 0xB0, "\x01"),
              "0000.000  Dispatch  Modem status  000000B0  [1](CTS DSR DCD)\r\n");
    EXPECT_EQ(Entry(dtDispatch, dstModemStatus, 0, 0, "\x01"),
              "0000.000  Dispatch  Modem status  00000000  [1]()\r\n");
    EXPECT_EQ(Entry(dtDispatch, dstModemStatus, 0, 0x1FF, "\x01"),
              "0000.000  Dispatch  Modem status  000001FF  [1](DCTS DDSR TERI DDCD CTS DSR RI "
              "DCD)\r\n");
    // The names follow the block's items; an entry without a block has none.
    EXPECT_EQ(Entry(dtDispatch, dstModemStatus, 0, 0xB0),
              "0000.000  Dispatch  Modem status  000000B0  \r\n");
}

TEST(LogText, TelnetEntriesWithoutABlockNameTheOption) {
    EXPECT_EQ(Entry(dtTelnet, dstSWill, 0, 1),
              "0000.000  Telnet    Sent WILL     00000001  [Echo]\r\n");
    EXPECT_EQ(Entry(dtTelnet, dstRDo, 0, 42),
              "0000.000  Telnet    Recv DO       0000002A  [Character Set]\r\n");
    EXPECT_EQ(Entry(dtTelnet, dstRDo, 0, 50), "0000.000  Telnet    Recv DO       00000032  []\r\n");
    EXPECT_EQ(Entry(dtTelnet, dstCommand, 0, 1, "ab"),
              "0000.000  Telnet    Command       00000001  ab\r\n");
}

TEST(LogText, BlockItemsFollowTheHexOptions) {
    const std::string block = "O K\r";
    EXPECT_EQ(Entry(dtDispatch, dstWriteCom, 0, 4, block, false, false),
              "0000.000  Dispatch  WriteCom      00000004  O K[13]\r\n");
    EXPECT_EQ(Entry(dtDispatch, dstWriteCom, 0, 4, block, true, false),
              "0000.000  Dispatch  WriteCom      00000004  O[20]K[0D]\r\n");
    EXPECT_EQ(Entry(dtDispatch, dstWriteCom, 0, 4, block, false, true),
              "0000.000  Dispatch  WriteCom      00000004  [4F][20][4B][0D]\r\n");
    // User entries are text: with every other block in hex they still read as characters.
    EXPECT_EQ(Entry(dtUser, dstNone, 0, 0, "a b\r", false, true),
              "0000.000  User                    00000000  a b\r\r\n");
}

TEST(LogText, LongBlocksContinueUnderTheFirstItem) {
    const std::string line(33, 'a');
    EXPECT_EQ(Entry(dtDispatch, dstReadCom, 0, 34, line + "b"),
              "0000.000  Dispatch  ReadCom       00000022  " + line + "\r\n" + kIndent + "b\r\n");
    // Four-column items: eight fit in the 33 columns, the ninth moves on.
    std::string hexLine;
    for (int n = 0; n < 8; ++n) {
        hexLine += "[41]";
    }
    EXPECT_EQ(Entry(dtDispatch, dstReadCom, 0, 9, std::string(9, 'A'), false, true),
              "0000.000  Dispatch  ReadCom       00000009  " + hexLine + "\r\n" + kIndent +
                  "[41]\r\n");
}

TEST(LogText, TheHeaderNamesTheVersionCompilerAndSystem) {
    std::string out;
    RenderLogHeader(out);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = out.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(out.substr(start, end - start));
    }
    EXPECT_EQ(start, out.size()) << "every header line ends with CR LF";
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "KIVO v3.01");
    EXPECT_EQ(lines[1].rfind("Compiler : ", 0), 0u);
    EXPECT_GT(lines[1].size(), std::string("Compiler : ").size());
    EXPECT_EQ(lines[2].rfind("Operating System : ", 0), 0u);
    EXPECT_GT(lines[2].size(), std::string("Operating System : ").size());
    EXPECT_EQ(lines[3], "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(lines[4], "--------  --------  ------------  --------  ---------");
}

} // namespace
} // namespace kivo
