// Bootloader commands of the controller itself: resets, erase, flash pages and
// the image checksum.
#pragma once

#include "NxCom/NxCmd.h"

struct ProgBlock;

class NxCmdDL : public NxCmd
{
public:
    // "ProgCheckSum" is a flash page written to this address.
    static constexpr uint32_t kCheckSumAddress = 0xC1FF80;
    static constexpr uint32_t kCheckSumBlockSize = 128;

    // "ResetToBootloader": command 1, payload 02.
    void ResetToBootloader();
    // "ResetToApplication": command 1, payload 01.
    void ResetToApplication();
    // "ProgEraseFlash": command 2, payload 04.
    void ProgEraseFlash();
    // "ProgFlashPage": command 3, the block's buffer unchanged (address, then
    // data). Throws NxException when the block does not fit into one frame
    // (more than 251 data bytes) rather than sending a cut page.
    void ProgFlashPage(const ProgBlock& block);
    // "ProgCheckSum": a 128-byte page at 0xC1FF80 holding the sum, then zeros.
    void ProgCheckSum(uint32_t sum);
};
