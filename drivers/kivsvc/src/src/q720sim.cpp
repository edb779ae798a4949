#include "q720sim.h"

q720simT::q720simT(int model, const std::string& snum, const std::string& hwver,
                   const std::string& swver) {
    _model = model;
    _snum = snum;
    _hwver = hwver.empty() ? "1.0" : hwver;
    _swver = swver.empty() ? "1.2" : swver;
}

bool q720simT::getConfig(kivsvc::configT&) const {
    return true;
}

bool q720simT::restoreLastSavedConfig(kivsvc::configT&) {
    return true;
}

bool q720simT::setConfig(const kivsvc::configT&, bool) {
    return true;
}

bool q720simT::getStatus(kivsvc::statusT&) const {
    return true;
}

bool q720simT::getMeasure(kivsvc::measureT&) const {
    return true;
}

bool q720simT::eraseFirmware(const kivsvc::bootAppDataT&) {
    return false;
}

bool q720simT::writeFirmware(const kivsvc::fwBlockT&) {
    return false;
}

bool q720simT::getFirmwareCRC(kivsvc::bootAppDataT&) const {
    return false;
}

bool q720simT::setBootAppData(const kivsvc::bootAppDataT&) {
    return false;
}

bool q720simT::getBootAppData(kivsvc::bootAppDataT&) const {
    return false;
}

bool q720simT::reset(resetT) {
    return true;
}
