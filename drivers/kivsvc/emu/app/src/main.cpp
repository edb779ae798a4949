// kivsvc-emu: emulated meters on the emulated USB HID transport.
#include "emuapp.h"

int main(int argc, char* argv[]) {
    kivemu::emuAppT app;
    return app.start(argc, argv);
}
