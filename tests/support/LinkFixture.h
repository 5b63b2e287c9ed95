// A host link to one simulated bridge whose device side is scripted per write.
#pragma once

#include "NxCom/NxCom.h"
#include "support/SimRig.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using Bytes = std::vector<uint8_t>;

class LinkFixture : public ::testing::Test, protected SimRig
{
protected:
    void SetUp() override
    {
        dev = lib.Add("0001", "Controller");
        peer = std::make_shared<Bridge::ScriptPeer>();
        dev->SetPeer(peer);
    }

    // Opens the link; the reads and calls of opening are forgotten.
    void OpenLink()
    {
        ASSERT_EQ(com.Open(), 0);
        dev->Calls.clear();
        dev->ReadRequests.clear();
        lib.Calls.clear();
    }

    std::shared_ptr<Bridge::SimDevice> dev;
    std::shared_ptr<Bridge::ScriptPeer> peer;
    NxCom com{0};
};
