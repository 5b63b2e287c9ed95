// A host link to one simulated bridge whose device side is scripted per write.
#pragma once

#include "Appcfg.h"
#include "Bridge/SimBridge.h"
#include "NxClock.h"
#include "NxCom/NxCom.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

using Bytes = std::vector<uint8_t>;

class LinkFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CAppCfg::DestroyInstance();
        dev = lib.Add("0001", "Controller");
        peer = std::make_shared<Bridge::ScriptPeer>();
        dev->SetPeer(peer);
    }
    void TearDown() override { CAppCfg::DestroyInstance(); }

    // Opens the link; the reads and calls of opening are forgotten.
    void OpenLink()
    {
        ASSERT_EQ(com.Open(), 0);
        dev->Calls.clear();
        dev->ReadRequests.clear();
        lib.Calls.clear();
    }

    Bridge::SimBridgeLib lib;
    Bridge::ScopedLib useLib{lib};
    VirtualClock clock;
    ScopedClock useClock{clock};
    std::shared_ptr<Bridge::SimDevice> dev;
    std::shared_ptr<Bridge::ScriptPeer> peer;
    NxCom com{0};
};

// A fresh, empty temporary folder for one test.
inline std::filesystem::path TempDir(const std::string& name)
{
    auto dir = std::filesystem::temp_directory_path() /
               ("nxtest_" + name + "_" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string ReadFile(const std::filesystem::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
