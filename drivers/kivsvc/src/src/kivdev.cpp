#include "kivdev.h"

std::string kivDevT::model2str() const {
    // Numbers of kivsvc::reportDeviceT_modelT; the bootloader-reported models
    // (N100 and the like) have no name of their own here.
    switch (_model) {
    case 1:
        return "Q720";
    case 2:
        return "Q710";
    case 3:
        return "NBOOT";
    case 6:
        return "Q850";
    default:
        return "unknown";
    }
}
