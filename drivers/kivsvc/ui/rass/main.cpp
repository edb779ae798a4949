// kivsvc-rass: the remote-assistance stand-in.
#include "rassapp.h"

int main(int argc, char* argv[]) {
    kivsvcRassAppT app;
    return app.start(argc, argv);
}
