// kivsvc-ui: the local UI bridge.
#include "uiapp.h"

int main(int argc, char* argv[]) {
    kivsvcUiAppT app;
    return app.start(argc, argv);
}
