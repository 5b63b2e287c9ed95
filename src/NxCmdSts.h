// "DeviceStatus": which program of the controller runs.
#pragma once

#include "NxCom/NxCmd.h"

class NxCmdSts : public NxCmd
{
public:
    // Builds the request at once, so a fresh object is ready to execute.
    NxCmdSts() { DeviceStatus(); }

    // Builds "DeviceStatus" again (command 20, access R, no payload).
    void DeviceStatus();

    void OnResponse() override;
    // Reply byte 0; 0 until a reply with at least one payload byte arrived.
    uint8_t Status() const { return m_Status; }
    // Bit 7 clear: the application runs; set: the bootloader runs.
    bool IsInApplication() const { return m_Status < 0x80; }

private:
    uint8_t m_Status = 0;
};
