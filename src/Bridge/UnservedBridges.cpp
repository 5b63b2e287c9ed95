#include "Bridge/UnservedBridges.h"

#include "Bridge/SerialBridge.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

namespace Bridge {

namespace {

std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A driver holds the interface: sysfs links it, and its uevent names it.
bool Bound(const std::string& iface)
{
    struct stat st
    {
    };
    if (::lstat((iface + "/driver").c_str(), &st) == 0)
        return true;
    std::ifstream in(iface + "/uevent");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("DRIVER=", 0) == 0 && line.size() > 7)
            return true;
    return false;
}

} // namespace

std::vector<SUnservedBridge> FindUnservedBridges(const std::string& sysRoot)
{
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", SerialBridgeLib::kBridgeVendorId);
    std::vector<SUnservedBridge> found;
    const std::string devices = sysRoot + "/bus/usb/devices/";
    for (const std::string& name : Entries(devices)) {
        const std::string dev = devices + name;
        if (name.find(':') != std::string::npos || FirstLine(dev + "/idVendor") != vendor)
            continue;
        // Its interfaces are the folders "<name>:<configuration>.<interface>".
        for (const std::string& sub : Entries(dev)) {
            const std::string iface = dev + "/" + sub;
            if (sub.rfind(name + ":", 0) != 0 || FirstLine(iface + "/bInterfaceClass") != "ff" ||
                Bound(iface))
                continue;
            found.push_back({name, vendor, FirstLine(dev + "/idProduct")});
            break;
        }
    }
    return found;
}

std::string UnservedText(const SUnservedBridge& b)
{
    const std::string ids = b.Vid + " " + b.Pid;
    const std::string newId = "/sys/bus/usb-serial/drivers/cp210x/new_id";
    return "CP210x bridge " + b.Vid + ":" + b.Pid + " on USB " + b.Usb +
           " has no serial port: the kernel's cp210x driver does not know its product id\n"
           "  to serve it from now on, add this line to "
           "/etc/udev/rules.d/70-cp210x-" +
           b.Pid +
           ".rules:\n"
           "  ACTION==\"add\", SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"" +
           b.Vid + "\", ATTRS{idProduct}==\"" + b.Pid +
           "\", RUN+=\"/bin/sh -c 'modprobe cp210x && echo " + ids + " > " + newId +
           "'\"\n"
           "  to serve it now: sudo modprobe cp210x && echo " +
           ids + " | sudo tee " + newId;
}

} // namespace Bridge
