// A pseudo-terminal listed in NXUPDATE_PORTS for the real serial backend: the
// slave is the port under test, the master plays the device side.
#pragma once

#include "Bridge/SerialBridge.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <termios.h>
#include <unistd.h>

class PtyFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        using Bridge::SerialBridgeLib;
        if (const char* old = std::getenv(SerialBridgeLib::kPortsVariable))
            m_OldPorts = old;
        // USB bridges on this machine come first; the listed port follows them.
        ::unsetenv(SerialBridgeLib::kPortsVariable);
        ASSERT_EQ(lib.GetNumDevices(usbCount), Bridge::kSuccess);

        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        slave = ::ptsname(master);
        termios t{};
        ASSERT_EQ(::tcgetattr(master, &t), 0);
        ::cfmakeraw(&t);
        ASSERT_EQ(::tcsetattr(master, TCSANOW, &t), 0);
        ListPorts(slave);
    }
    void TearDown() override
    {
        CloseMaster();
        if (m_OldPorts)
            ::setenv(Bridge::SerialBridgeLib::kPortsVariable, m_OldPorts->c_str(), 1);
        else
            ::unsetenv(Bridge::SerialBridgeLib::kPortsVariable);
    }

    void ListPorts(const std::string& ports)
    {
        ::setenv(Bridge::SerialBridgeLib::kPortsVariable, ports.c_str(), 1);
    }
    void CloseMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }

    Bridge::SerialBridgeLib lib;
    uint32_t usbCount = 0; // the listed port's index
    int master = -1;
    std::string slave;

private:
    std::optional<std::string> m_OldPorts;
};
