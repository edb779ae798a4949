// rux_ipcd: the IPC daemon.
#include "app.h"

int main(int argc, char* argv[]) {
    rux::ipcdAppT app;
    return app.start(argc, argv);
}
