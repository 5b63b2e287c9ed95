// Recorders that stand in for the front ends' message boxes and listeners.
#pragma once

#include "NxCom/TNxDevList.h"
#include "NxUi.h"

#include <functional>
#include <string>
#include <vector>

struct ShownMessage
{
    std::string Text, Caption;
    INxMessageSink::Icon Icon;
};

class RecordingSink : public INxMessageSink
{
public:
    RecordingSink() { SetNxMessages(this); }
    ~RecordingSink() override { SetNxMessages(nullptr); }
    void ShowMessage(const std::string& text, const std::string& caption, Icon icon) override
    {
        Shown.push_back({text, caption, icon});
        if (OnShow)
            OnShow();
    }
    std::vector<ShownMessage> Shown;
    std::function<void()> OnShow; // runs "inside" the box, like a message loop would
};

class DevEventRecorder : public TNxDevList::IDevEvent
{
public:
    void OnDevAdded(TNxDev* dev) override { Events.push_back("added " + dev->GetSerial()); }
    void OnDevRemoved(const char* serial) override
    {
        Events.push_back(std::string("removed ") + serial);
    }
    std::vector<std::string> Events;
};
