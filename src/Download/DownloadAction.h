// The download action shared by both front ends: checks the target, reads
// the whole file, and sends it with the programmer and the table loader.
#pragma once

#include "Download/DownloadFile.h"
#include "Download/NxDownloadUi.h"
#include "NxCom/TNxDevList.h"

#include <string>

// True when 0 <= channel <= the number of the device's channels.
bool IsValidChannel(TNxDevList& list, TNxDev& dev, int channel);

// The checks of the target before the file is read: the device, the channel,
// the file kind for a component, and the component's capability. Raises
// NxException with the download's message.
TNxDev& FindDownloadTarget(TNxDevList& list, const std::string& serial, int channel,
                           EDownloadKind kind);

// Downloads file into the device with this serial number: firmware (.hex),
// parameter tables (.xml) or both (.dat); a channel component takes firmware
// only, and only when it says it can (CanDownload). Every part of the file is
// read and checked before the first command. Holds the list's lock
// throughout. Raises NxException with the message the user sees, also when
// memory runs out.
void RunDownload(TNxDevList& list, NxDownloadUi& ui, const std::string& serial, int channel,
                 const std::string& file);

// Firmware download of an Intel HEX file into the device (channel 0) or a component.
// A failure that leaves the target in its bootloader says so in a second line.
void DownloadHex(TNxDev& dev, int channel, const std::string& file, NxDownloadUi& ui);

// The line added to a failure after which the target runs only its bootloader.
std::string LeftInBootloaderText(int channel);
