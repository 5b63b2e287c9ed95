// The process-wide list of attached controllers. A front end calls Update once
// a second; Update creates a device for every new bridge whose controller
// answers, deletes the devices whose bridges are gone, and tells listeners.
#pragma once

#include "NxCom/TNxDev.h"
#include "Utils.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One enumerated bridge as the library reports it, before anything opens it.
struct SBridgeInfo
{
    int Index = 0; // enumeration index, valid until the next enumeration
    uint32_t Pid = 0, Vid = 0;
    std::string Serial;
    std::string Name;  // "<description> (#<serial>)", as the list shows it
    bool Known = true; // every identity query succeeded (false: unplugged since the count)
};

class TNxDevList
{
public:
    enum Event
    {
        kDevAdded = 0,   // argument: the new TNxDev
        kDevRemoved = 1, // argument: the removed device's serial number (const char*)
    };

    // Listener of additions and removals. It registers itself with the
    // process-wide list at construction (if one exists) and leaves it again
    // at destruction (if that list still exists).
    class IDevEvent
    {
    public:
        IDevEvent();
        virtual ~IDevEvent();
        IDevEvent(const IDevEvent&) = delete;
        IDevEvent& operator=(const IDevEvent&) = delete;
        virtual void OnDevAdded(TNxDev* dev) = 0;
        virtual void OnDevRemoved(const char* serial) = 0;

    private:
        static void Dispatch(void* ctx, int event, void* arg);
        TNxDevList* m_pList = nullptr;
    };

    TNxDevList() = default;
    ~TNxDevList();
    TNxDevList(const TNxDevList&) = delete;
    TNxDevList& operator=(const TNxDevList&) = delete;

    // The process-wide list; start-up sets it, the end clears it.
    static TNxDevList* Instance() { return s_pInstance; }
    static void SetInstance(TNxDevList* list) { s_pInstance = list; }

    // Brings the list up to date. A call that arrives while the lock is held
    // (a timer tick inside another Update's message box, or inside a window
    // action that processes messages) is skipped and returns false, so no
    // device is deleted under an operation that is using it.
    bool Update();
    // Update opens and probes only the bridges whose serial number passes
    // filter; the others stay closed and unlisted, so another process may
    // hold them. An empty filter (the default) takes every bridge.
    void SetBridgeFilter(std::function<bool(const std::string& serial)> filter)
    {
        m_Filter = std::move(filter);
    }
    TNxDev* CreateDev(const TNxDevDesc& desc, int devIndex);
    // How often CreateDev asks a new bridge's controller for its status
    // (100 ms each) before it concludes there is none. The desktop program's
    // poll asks again a second later; a front end that updates the list only
    // once (the command line) sets 2, so a link that was stalled or flooded
    // a moment ago still finds its controller.
    void SetStatusAttempts(int attempts) { m_nStatusAttempts = attempts < 1 ? 1 : attempts; }
    TNxDev* FindDev(uint32_t pid, uint32_t vid, const std::string& serial) const;
    TNxDev* GetDev(size_t pos) const { return pos < m_Devs.size() ? m_Devs[pos].get() : nullptr; }
    size_t Count() const { return m_Devs.size(); }
    // Exact, case-sensitive match on the bridge serial number; takes the lock.
    TNxDev* FindBySerial(const std::string& serial);

    // Every bridge attached now, in enumeration order, without opening or
    // probing any (a bridge held by another program is listed too). A failed
    // identity query leaves that value 0 or empty, as Update does. Returns
    // the status of the bridge count: with 0 or 255 (none found) out holds
    // what was counted, otherwise it is empty.
    static NxStatus EnumerateBridges(std::vector<SBridgeInfo>& out);
    // A bridge that is attached but could not be opened at the last Update
    // (no permission, held by another program, I/O error). A bridge that is
    // gone by the time it is opened is none: it is simply not there.
    struct SOpenError
    {
        std::string Port;    // the port's path, or the bridge's serial number
        std::string Message; // the text the list showed
        bool Busy = false;   // another program holds the bridge
    };
    const std::vector<SOpenError>& OpenErrors() const { return m_OpenErrors; }
    // A bridge that was opened at the last Update but whose controller did
    // not answer its status request correctly (silence, a garbled or refused
    // reply), with the last attempt's reason.
    struct SNoAnswer
    {
        std::string Serial;
        std::string Reason; // the status command's error message
    };
    const std::vector<SNoAnswer>& Unanswered() const { return m_Unanswered; }

    // Callers hold it (ScopedSect) around every use of a device.
    CCritSect Lock;

    static constexpr const char* kCaption = "NxDevList";

private:
    void Notify(int event, void* arg) { m_Listeners.Call(event, arg); }

    std::vector<std::unique_ptr<TNxDev>> m_Devs;
    std::vector<SOpenError> m_OpenErrors;
    std::vector<SNoAnswer> m_Unanswered;
    CbList m_Listeners;
    int m_nStatusAttempts = 1;
    std::function<bool(const std::string&)> m_Filter;
    static TNxDevList* s_pInstance;
};
