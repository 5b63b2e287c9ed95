// nxupdate: the desktop service tool for the incubation system's controllers.
#include "Forms/NxStartup.h"

int main(int argc, char** argv)
{
    return NxUpdateRun(argc, argv);
}
