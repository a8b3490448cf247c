// The libserialport backend with injected device paths. A pseudo-terminal
// has no modem lines, so libserialport refuses it; the exclusive claim is
// tested on one directly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "ports/serial/serial_libserialport.h"

TEST(SerialBackend, ComNamesMapToLinuxDevices)
{
    EXPECT_EQ(SerialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialDevicePath("COM4"), "/dev/ttyS3");
    EXPECT_EQ(SerialDevicePath("COM5"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialDevicePath("COM8"), "/dev/ttyUSB3");
    EXPECT_EQ(SerialDevicePath("COM9"), "");
    EXPECT_EQ(SerialDevicePath("COM0"), "");
    EXPECT_EQ(SerialDevicePath("0x378"), "");
}

TEST(SerialBackend, MissingOrUnusableDeviceDoesNotOpen)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string pty = ptsname(master);
    for (const std::string& path : {std::string("/nonexistent/ttyVantrel"), std::string(""), pty}) {
        SCOPED_TRACE(path);
        auto backend = MakeLibserialportBackend([&](const std::string&) { return path; });
        EXPECT_FALSE(backend->Open("COM7"));
        EXPECT_FALSE(backend->IsOpen());
        backend->Close();  // harmless
    }
    close(master);
}

TEST(SerialBackend, SecondClaimOfATerminalIsRefused)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const int first = open(ptsname(master), O_RDWR | O_NOCTTY);
    const int second = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_TRUE(ClaimExclusive(first));
    EXPECT_FALSE(ClaimExclusive(second));
    close(first);
    EXPECT_TRUE(ClaimExclusive(second));  // released with its holder
    close(second);
    close(master);
}
