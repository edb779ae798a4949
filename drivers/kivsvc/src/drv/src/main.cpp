// kivsvc-drv: the device service. Its life cycle is the skeleton's; see
// kivsvcDrvAppT for the drivers, the IPC node and the client sessions.
#include "drvapp.h"

int main(int argc, char* argv[]) {
    kivsvcDrvAppT app;
    return app.start(argc, argv);
}
