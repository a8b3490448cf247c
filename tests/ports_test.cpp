// The port chooser's entries, the parallel bit arithmetic, the DSUSB command
// byte and the line operations on a released port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "ports/backends.h"
#include "ports/port_choice.h"
#include "ports/ports.h"
#include "tests/fakes.h"

TEST(PortChoice, EveryEntryDecodesByItsText)
{
    struct Row {
        const char* text;
        const char* portName;
        bool parallel;
        bool infrared;
        uint16_t address;
        uint16_t mask;
    };
    const Row rows[] = {
        {"COM1", "COM1", false, false, 0, 0},
        {"COM2", "COM2", false, false, 0, 0},
        {"COM3", "COM3", false, false, 0, 0},
        {"COM4", "COM4", false, false, 0, 0},
        {"0x378-LPT1", "0x378", true, false, 0x378, 1},
        {"0x278-LPT2", "0x278", true, false, 0x278, 1},
        {"0x3BC-LPTx", "0x3BC", true, false, 0x3BC, 1},
        {"COM5", "COM5", false, false, 0, 0},
        {"COM6", "COM6", false, false, 0, 0},
        {"COM7", "COM7", false, false, 0, 0},
        {"COM8", "COM8", false, false, 0, 0},
        {"COM1-IR", "COM1", false, true, 0, 0},
        {"COM2-IR", "COM2", false, true, 0, 0},
        {"COM3-IR", "COM3", false, true, 0, 0},
        {"COM4-IR", "COM4", false, true, 0, 0},
        {"COM5-IR", "COM5", false, true, 0, 0},
        {"COM6-IR", "COM6", false, true, 0, 0},
        {"COM7-IR", "COM7", false, true, 0, 0},
        {"COM8-IR", "COM8", false, true, 0, 0},
        {"0x378-LPT1 Pin3", "0x378", true, false, 0x378, 2},
        {"0x278-LPT2 Pin3", "0x278", true, false, 0x278, 2},
        {"0x3BC-LPTx Pin3", "0x3BC", true, false, 0x3BC, 2},
    };
    ASSERT_EQ(PortChoiceTexts().size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].text);
        EXPECT_EQ(PortChoiceTexts()[i], rows[i].text);
        const PortChoice choice = DecodePortChoice(rows[i].text);
        EXPECT_EQ(choice.portName, rows[i].portName);
        EXPECT_EQ(choice.parallel, rows[i].parallel);
        EXPECT_EQ(choice.infrared, rows[i].infrared);
        EXPECT_EQ(choice.address, rows[i].address);
        EXPECT_EQ(choice.pinMask, rows[i].mask);
    }
}

TEST(PortChoice, ParallelLineChangesOnlyItsBit)
{
    EXPECT_EQ(WithParallelLine(0xA7, 2, false), 0xA5);
    EXPECT_EQ(WithParallelLine(0xA7, 1, false), 0xA6);
    EXPECT_EQ(WithParallelLine(0x81, 2, true), 0x83);
    EXPECT_EQ(WithParallelLine(0x81, 2, false), 0x81);
    EXPECT_EQ(WithParallelLine(0xFF, 1, false), 0xFE);
    EXPECT_EQ(WithParallelLine(0xFF, 1, true), 0xFF);
}

// The settings file's [Ports] group, as the toolkit writes it or a user
// types it: only chooser names with absolute paths to devices count.
TEST(PortDevices, SettingsGroupPutsOtherDevicesBehindChooserNames)
{
    char path[] = "/tmp/vantrel-settings-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "AF Mode=2\n"
                           "COM1=/dev/ttyACM7\n"  // not in the group: ignored
                           "[Ports]\n"
                           "# a comment\n"
                           "COM5 = /dev/serial/by-id/usb-FTDI-if00-port0\n"
                           "COM6=\"/dev/ttyACM0\"\n"
                           "COM7=ttyUSB1\n"  // not absolute
                           "COM8=/etc/passwd\n"  // not a device
                           "COM5-IR=/dev/ttyACM1\n"  // not a base name
                           "0x378-LPT1=/dev/parport1\n"
                           "[Other]\n"
                           "COM2=/dev/ttyACM2\n";
    ClearPortDevices();
    ReadPortDevices(path);
    std::remove(path);
    EXPECT_EQ(PortDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PortDevicePath("COM2"), "/dev/ttyS1");
    EXPECT_EQ(PortDevicePath("COM5"), "/dev/serial/by-id/usb-FTDI-if00-port0");
    EXPECT_EQ(PortDevicePath("COM6"), "/dev/ttyACM0");
    EXPECT_EQ(PortDevicePath("COM7"), "/dev/ttyUSB2");
    EXPECT_EQ(PortDevicePath("COM8"), "/dev/ttyUSB3");
    EXPECT_EQ(PortDevicePath("0x378-LPT1"), "/dev/parport1");
    ClearPortDevices();
    ReadPortDevices("/nonexistent/.Vantrel");  // no file: no group
    EXPECT_EQ(PortDevicePath("COM5"), "/dev/ttyUSB0");
}

class LineOperations : public ::testing::Test {
protected:
    void SetUp() override { InstallFakes(fakes); }
    Fakes fakes;
};

TEST_F(LineOperations, DsusbSendsTheWholeCommandByteAtEachChange)
{
    fakes.usb->present = true;
    ASSERT_TRUE(fakes.ports->DsusbOpen());
    fakes.ports->DsusbPrepare();
    fakes.ports->DsusbSignalActive();
    fakes.ports->DsusbSignalExposing();
    fakes.ports->DsusbShutterOn();
    fakes.ports->DsusbFocusOn();
    fakes.ports->DsusbFocusOff();
    fakes.ports->DsusbShutterOff();
    fakes.ports->DsusbSignalWaiting();
    fakes.ports->DsusbSignalIdle();
    fakes.ports->DsusbClose();
    fakes.ports->DsusbShutterOn();
    fakes.ports->DsusbSignalActive();
    EXPECT_EQ(fakes.log.Whats(),
              (std::vector<std::string>{"usb open", "usb 00", "usb 20", "usb 30", "usb 31", "usb 33", "usb 31",
                                        "usb 30", "usb 20", "usb 00", "usb 00", "usb close"}));
}

TEST_F(LineOperations, NoBoxMeansNothingIsSent)
{
    EXPECT_FALSE(fakes.ports->DsusbOpen());
    fakes.ports->DsusbPrepare();
    fakes.ports->DsusbShutterOn();
    fakes.ports->DsusbClose();
    EXPECT_EQ(fakes.log.Whats(), std::vector<std::string>{"usb open"});
}

TEST_F(LineOperations, SerialLinesDoNothingOnceReleased)
{
    fakes.ports->SetSerialShutter(true);  // never opened
    ASSERT_TRUE(fakes.ports->Serial().Open("COM2"));
    fakes.ports->SetSerialShutter(true);
    fakes.ports->SetSerialFocus(true);
    fakes.ports->SetSerialShutter(true);  // again: no harm, same state
    fakes.ports->CloseSerialPort();
    fakes.ports->SetSerialShutter(false);
    fakes.ports->SetSerialFocus(false);
    EXPECT_EQ(fakes.log.Whats(),
              (std::vector<std::string>{"serial open COM2", "RTS 1", "DTR 1", "RTS 1", "serial close"}));
}

TEST_F(LineOperations, ParallelLineIsReadModifyWriteOfItsBit)
{
    fakes.ports->SetParallelLine(true);  // no port: nothing
    ASSERT_TRUE(fakes.ports->OpenParallelPort("0x378-LPT1 Pin3"));
    fakes.parallel->data = 0x81;
    fakes.ports->SetParallelLine(true);
    fakes.ports->SetParallelLine(false);
    EXPECT_EQ(fakes.log.Whats(), (std::vector<std::string>{"parallel open 378", "data 00", "data 83", "data 81"}));
}

// The port layer's limits, a row on each side: a release is tried three
// times (two failures are survived, three are not), a set once; a device
// path is shortened past 80 characters.
TEST_F(LineOperations, LimitsOnEachSide)
{
    struct Row {
        bool on;
        int failures;
        bool lost;
    };
    for (const Row row : {Row{false, 2, false}, Row{false, 3, true}, Row{true, 1, true}}) {
        ASSERT_EQ(fakes.ports->OpenSerialPort("COM2"), SERIAL_OPENED);
        fakes.log.failures = row.failures;
        fakes.log.error = EIO;
        fakes.ports->SetSerialShutter(row.on);
        EXPECT_EQ(fakes.ports->PortLost(), row.lost) << row.on << " " << row.failures;
        fakes.log.failures = 0;
        fakes.ports->CloseSerialPort();
    }
    EXPECT_EQ(ShortenedPath(std::string(80, 'x')), std::string(80, 'x'));
    EXPECT_EQ(ShortenedPath(std::string(81, 'x')), std::string(39, 'x') + "\u2026" + std::string(40, 'x'));
}
