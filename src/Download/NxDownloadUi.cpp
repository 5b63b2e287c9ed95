#include "Download/NxDownloadUi.h"

#include "NxException.h"
#include "ProgBlock.h"

void NxDownloadUi::SetProgress(const std::string& text, std::optional<unsigned> percent)
{
    m_Status = text;
    ShowProgress(text, percent);
}

void NxDownloadUi::OnEraseStart()
{
    SetProgress("Clear flash");
    Repaint();
    ProcessMessages();
}

void NxDownloadUi::OnBlockProgress(const ProgBlock& block, uint32_t index, uint32_t count)
{
    unsigned percent = 0;
    const std::string text = BlockProgressText(block, index, count, &percent);
    SetProgress(text, percent);
    ProcessMessages();
}

void NxDownloadUi::OnChecksum(uint32_t sum)
{
    SetProgress(StrFormat("Checksum: 0x%08lX", static_cast<unsigned long>(sum)));
    Repaint();
    ProcessMessages();
}

void NxDownloadUi::OnFailure(const char* text)
{
    SetProgress(text ? text : "");
}

void NxDownloadUi::OnReset(bool toApplication)
{
    SetProgress(StrFormat("Reset to %s ...", toApplication ? "Application" : "Bootloader"));
    Repaint();
    ProcessMessages();
}

void NxDownloadUi::OnProgress(const char* text, unsigned percent)
{
    SetProgress(text ? text : "", percent);
    ProcessMessages();
}

std::string BlockProgressText(const ProgBlock& block, uint32_t index, uint32_t count,
                              unsigned* percent)
{
    const unsigned pct = count ? static_cast<unsigned>((uint64_t{index} + 1) * 100 / count) : 100;
    if (percent)
        *percent = pct;
    return StrFormat("Block: %d/%d - Address: 0x%06lX - Progress: %d%%",
                     static_cast<int>(index + 1), static_cast<int>(count),
                     static_cast<unsigned long>(block.Address()), static_cast<int>(pct));
}
