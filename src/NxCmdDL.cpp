#include "NxCmdDL.h"

#include "NxCmdTable.h"
#include "NxException.h"
#include "ProgBlock.h"

void NxCmdDL::ResetToBootloader()
{
    const uint8_t arg = 0x02;
    Setup(CmdDef(NxCmdId::ResetToBootloader), 0, &arg, 1);
}

void NxCmdDL::ResetToApplication()
{
    const uint8_t arg = 0x01;
    Setup(CmdDef(NxCmdId::ResetToApplication), 0, &arg, 1);
}

void NxCmdDL::ProgEraseFlash()
{
    const uint8_t arg = 0x04;
    Setup(CmdDef(NxCmdId::ProgEraseFlash), 0, &arg, 1);
}

void NxCmdDL::ProgFlashPage(const ProgBlock& block)
{
    // Setup would cut the length to 255 and the device would get a short page.
    if (block.BufferLength() > 255)
        ThrowNx("Block at 0x%06X is too long for a frame (%u bytes)", block.Address(),
                block.DataLength);
    Setup(CmdDef(NxCmdId::ProgFlashPage), 0, block.Buffer(), block.BufferLength());
}

void NxCmdDL::ProgCheckSum(uint32_t sum)
{
    ProgBlock page(kCheckSumAddress, kCheckSumBlockSize);
    uint8_t* d = page.Data();
    d[0] = static_cast<uint8_t>(sum);
    d[1] = static_cast<uint8_t>(sum >> 8);
    d[2] = static_cast<uint8_t>(sum >> 16);
    d[3] = static_cast<uint8_t>(sum >> 24);
    Setup(CmdDef(NxCmdId::ProgCheckSum), 0, page.Buffer(), page.BufferLength());
}
