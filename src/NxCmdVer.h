// Identity reads of the controller: names, versions and dates of hardware,
// bootloader, application and parameter table. Each reply is one text.
#pragma once

#include "NxCom/NxCmd.h"

#include <string>

enum class NxCmdId : uint8_t;

class NxCmdVer : public NxCmd
{
public:
    void GetHwName();  // 4
    void GetHwVer();   // 5
    void GetBlName();  // 6
    void GetBlVer();   // 7
    void GetBlDate();  // 8
    void GetAppName(); // 9
    void GetAppVer();  // 10
    void GetAppDate(); // 11
    void GetTblName(); // 12
    void GetTblVer();  // 13
    void GetTblDate(); // 14

    // Copies the text at reply payload byte 0, up to its zero byte or the
    // payload's end, whichever comes first.
    void OnResponse() override;
    // The last reply's text; emptied by every build.
    const std::string& Text() const { return m_Text; }

private:
    void Build(NxCmdId id);
    std::string m_Text;
};
