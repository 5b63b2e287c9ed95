// A download's progress on stderr. On a terminal: one line redrawn in place,
// a bar with the percentage and the status text. Otherwise (a pipe, a log
// file): one line per status change, so that logs stay readable.
#pragma once

#include "Cli/Command.h"
#include "Download/DownloadAction.h"

#include <cstdio>
#include <string>

// "[#####...............] ": percent (held to 0..100) as a bar of width cells
// and a space.
std::string ProgressBar(int percent, int width);

class TerminalProgress : public NxDownloadUi
{
public:
    // The bar is drawn only when out is a terminal.
    explicit TerminalProgress(std::FILE* out = stderr);
    ~TerminalProgress() override;
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    // A failure is printed once, by the caller that ends with it: from here on
    // the statuses only restate it and are kept, not shown.
    void OnFailure(const char* text) override;
    void OnFailed(const char* text, unsigned percent) override;
    // Ctrl-C (CatchInterrupt) fails the download at its next step.
    void ProcessMessages() override { ThrowIfInterrupted(); }

    // Ends the bar's line so that other output starts on a fresh one.
    void EndLine();
    // EndLine of the progress being shown, if any (for message boxes).
    static void EndActiveLine();

protected:
    void ShowProgress(const std::string& text, std::optional<unsigned> percent) override;

private:
    void Draw();
    int Columns() const;

    std::FILE* m_Out;
    bool m_bBar;
    bool m_bOnLine = false; // the cursor stands behind a drawn bar
    bool m_bFailed = false; // the download failed; its caller prints why
    unsigned m_Percent = 0;
    std::string m_Text; // the status shown last
    static TerminalProgress* s_pActive;
};
