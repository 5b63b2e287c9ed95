// The texts a download shows while it runs, from the events of the
// programmer and the table loader; the front end says how to show them.
#pragma once

#include "Download/IProg.h"
#include "Download/NxCmdTblLoader.h"

#include <cstdint>
#include <optional>
#include <string>

class TNxDev;
struct ProgBlock;

// Texts the front ends show.
constexpr const char* kDownloadFinished = "Download finished successfully";
constexpr const char* kDownloadFailedCaption = "Download failed";

// Progress of one download as text and percentage. The front end says how
// to show them; the texts and the order of events are fixed here.
class NxDownloadUi : public IProg, public NxTblLoader::ITblLoaderEvent
{
public:
    // One step for the user: its text and, when the step moves it, the
    // percentage, shown together. The text is kept for later steps.
    void SetProgress(const std::string& text, std::optional<unsigned> percent = std::nullopt);
    const std::string& Status() const { return m_Status; }
    // Redraw the status line now (the GUI's label); nothing for a terminal.
    virtual void Repaint() {}
    // Let the front end breathe during long steps (the GUI's event loop).
    virtual void ProcessMessages() {}
    // The target and file kind are checked and nothing has been sent yet.
    virtual void OnTargetChecked(TNxDev& /*dev*/, int /*channel*/) {}

    void OnEraseStart() override;
    void OnBlockProgress(const ProgBlock& block, uint32_t index, uint32_t count) override;
    void OnChecksum(uint32_t sum) override;
    void OnFailure(const char* text) override;
    void OnReset(bool toApplication) override;
    void OnProgress(const char* text, unsigned percent) override;

protected:
    // How the front end shows a step; percent is empty when it stays.
    virtual void ShowProgress(const std::string& text, std::optional<unsigned> percent) = 0;

private:
    std::string m_Status;
};

// "Block: %d/%d - Address: 0x%06lX - Progress: %d%%" for step index of count.
std::string BlockProgressText(const ProgBlock& block, uint32_t index, uint32_t count,
                              unsigned* percent = nullptr);
