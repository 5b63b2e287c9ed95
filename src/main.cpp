// nxupdate: the desktop service tool for the incubation system's controllers.
#include "Download/TempFile.h"
#include "Forms/NxStartup.h"

int main(int argc, char** argv)
{
    // A kill during a .dat download must not leave the unpacked firmware behind.
    RemoveTempFilesOnFatalSignals();
    return NxUpdateRun(argc, argv);
}
