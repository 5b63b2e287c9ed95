#include "Bridge/SerialBridge.h"

#include "Bridge/SerialPort.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <libserialport.h>
#include <sys/stat.h>

namespace Bridge {

namespace {

std::string Text(const char* s)
{
    return s ? s : "";
}

std::string Hex4(int value)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(value) & 0xFFFFu);
    return buf;
}

// What names the port behind a path, so that links such as
// /dev/serial/by-id/... do not list a port twice. stat rather than realpath:
// umockdev's realpath corrupts memory on its device nodes, which link out of
// its tree.
std::string PortKey(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return "path " + path;
    if (S_ISCHR(st.st_mode))
        return "char " + std::to_string(st.st_rdev);
    return "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

// The port's own name, which the serial library needs to find its identity.
std::string Canonical(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string s(real);
    std::free(real);
    return s;
}

// USB identity of a port; false when it is not a USB device.
bool UsbIdentity(const sp_port* p, SerialBridgeLib::PortInfo& info, int& vid)
{
    int pid = 0;
    vid = 0;
    if (sp_get_port_transport(p) != SP_TRANSPORT_USB ||
        sp_get_port_usb_vid_pid(p, &vid, &pid) != SP_OK)
        return false;
    info.Serial = Text(sp_get_port_usb_serial(p));
    const char* product = sp_get_port_usb_product(p);
    info.Description = product ? product : Text(sp_get_port_description(p));
    info.VidText = Hex4(vid);
    info.PidText = Hex4(pid);
    return true;
}

std::vector<SerialBridgeLib::PortInfo> UsbBridges()
{
    std::vector<SerialBridgeLib::PortInfo> ports;
    sp_port** list = nullptr;
    // Without USB enumeration (no sysfs in a container) there are just no USB ports.
    if (sp_list_ports(&list) != SP_OK || !list)
        return ports;
    for (sp_port** p = list; *p; ++p) {
        SerialBridgeLib::PortInfo info;
        int vid = 0;
        if (!UsbIdentity(*p, info, vid) || vid != SerialBridgeLib::kBridgeVendorId)
            continue;
        info.Path = Text(sp_get_port_name(*p));
        ports.push_back(std::move(info));
    }
    sp_free_port_list(list);
    // Stable indexes between polls: ttyUSB2 before ttyUSB10.
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) {
        return a.Path.size() != b.Path.size() ? a.Path.size() < b.Path.size() : a.Path < b.Path;
    });
    return ports;
}

// A port listed by path: its USB identity if it has one, else the path itself.
SerialBridgeLib::PortInfo ListedPort(const std::string& path, const std::string& canonical)
{
    SerialBridgeLib::PortInfo info;
    info.Path = path;
    sp_port* p = nullptr;
    int vid = 0;
    bool usb = false;
    if (sp_get_port_by_name(canonical.c_str(), &p) == SP_OK) {
        usb = UsbIdentity(p, info, vid);
        sp_free_port(p);
    }
    if (!usb) {
        info.Serial = path;
        info.Description = "Serial port";
        info.VidText = info.PidText = "0000";
    }
    return info;
}

// One line for the user: what stands in the way and how to clear it.
std::string ProblemText(SerialPort::Problem problem, const std::string& path)
{
    switch (problem) {
    case SerialPort::Problem::Permission:
        return "No permission to open " + path +
               ": add your user to the 'dialout' group and log in again, or install "
               "the package's udev rule.";
    case SerialPort::Problem::Busy:
        return path + " is in use by another program (another nxupdate, a terminal program or "
                      "a braille display daemon): close that program.";
    case SerialPort::Problem::None:
        break;
    }
    return {};
}

class SerialBridgePort : public IPort
{
public:
    explicit SerialBridgePort(std::shared_ptr<SerialBridgeLib::Timeouts> timeouts)
        : m_pTimeouts(std::move(timeouts))
    {
    }

    Status Open(const std::string& path) { return m_Port.Open(path); }
    SerialPort::Problem LastProblem() const { return m_Port.LastProblem(); }
    Status Close() override { return m_Port.Close(); }
    Status Read(uint8_t* buf, uint32_t count, uint32_t& got) override
    {
        return m_Port.Read(buf, count, got, m_pTimeouts->ReadMs);
    }
    Status Write(const uint8_t* buf, uint32_t count, uint32_t& written) override
    {
        return m_Port.Write(buf, count, written, m_pTimeouts->WriteMs);
    }
    Status SetBaudRate(uint32_t baud) override { return m_Port.SetBaudRate(baud); }
    Status Flush(bool tx, bool rx) override { return m_Port.Flush(tx, rx); }

private:
    SerialPort m_Port;
    std::shared_ptr<SerialBridgeLib::Timeouts> m_pTimeouts;
};

} // namespace

SerialBridgeLib::SerialBridgeLib() : m_pTimeouts(std::make_shared<Timeouts>()) {}

SerialBridgeLib::~SerialBridgeLib() = default;

void SerialBridgeLib::Enumerate()
{
    std::vector<PortInfo> ports = UsbBridges();
    std::vector<std::string> seen;
    for (const auto& p : ports)
        seen.push_back(PortKey(p.Path));

    const std::string listed = Text(std::getenv(kPortsVariable));
    size_t begin = 0;
    while (begin <= listed.size()) {
        size_t end = listed.find(':', begin);
        if (end == std::string::npos)
            end = listed.size();
        const std::string path = listed.substr(begin, end - begin);
        begin = end + 1;
        struct stat st
        {
        };
        if (path.empty() || ::stat(path.c_str(), &st) != 0)
            continue;
        const std::string key = PortKey(path);
        if (std::find(seen.begin(), seen.end(), key) != seen.end())
            continue;
        seen.push_back(key);
        ports.push_back(ListedPort(path, Canonical(path)));
    }
    m_Ports = std::move(ports);
    m_bEnumerated = true;
}

Status SerialBridgeLib::GetNumDevices(uint32_t& count)
{
    std::lock_guard lock(m_Lock);
    Enumerate();
    count = static_cast<uint32_t>(m_Ports.size());
    return kSuccess;
}

Status SerialBridgeLib::GetProductString(uint32_t index, std::string& out, int selector)
{
    std::lock_guard lock(m_Lock);
    if (!m_bEnumerated)
        Enumerate();
    if (index >= m_Ports.size())
        return kDeviceNotFound;
    const PortInfo& p = m_Ports[index];
    switch (selector) {
    case kSerialNumber:
        out = p.Serial;
        return kSuccess;
    case kDescription:
        out = p.Description;
        return kSuccess;
    case kVendorId:
        out = p.VidText;
        return kSuccess;
    case kProductId:
        out = p.PidText;
        return kSuccess;
    default:
        return kInvalidParameter;
    }
}

Status SerialBridgeLib::Open(uint32_t index, std::unique_ptr<IPort>& port, OpenProblem* problem)
{
    std::string path;
    {
        std::lock_guard lock(m_Lock);
        if (!m_bEnumerated)
            Enumerate();
        if (index >= m_Ports.size())
            return kDeviceNotFound;
        path = m_Ports[index].Path;
    }
    auto p = std::make_unique<SerialBridgePort>(m_pTimeouts);
    const Status st = p->Open(path);
    if (st != kSuccess) {
        if (problem)
            *problem = {ProblemText(p->LastProblem(), path),
                        p->LastProblem() == SerialPort::Problem::Busy};
        return st;
    }
    port = std::move(p);
    return kSuccess;
}

std::string SerialBridgeLib::PortName(uint32_t index) const
{
    std::lock_guard lock(m_Lock);
    return index < m_Ports.size() ? m_Ports[index].Path : std::string();
}

Status SerialBridgeLib::SetTimeouts(uint32_t readMs, uint32_t writeMs)
{
    m_pTimeouts->ReadMs = readMs;
    m_pTimeouts->WriteMs = writeMs;
    return kSuccess;
}

} // namespace Bridge
