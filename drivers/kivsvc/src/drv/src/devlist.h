// The device console's listing of the connected devices ("device show").
//
// Pure functions over a copy of the device map: any thread, no locks. Texts
// that come from devices (serial numbers, versions) are shown with every byte
// outside printable ASCII, and the backslash, escaped as \xNN, so a device
// cannot send control sequences to an operator's terminal; column widths are
// those of the escaped texts.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "kivdev.h"

// `text` without its trailing NUL padding, and with bytes below 0x20, 0x5C
// and from 0x7F up written as \xNN.
std::string escapeDeviceText(const std::string& text);

// "Q720", "Q710" or "UNKN".
const char* listingModel(int model);

// Header line and one line per device, in increasing identifier order.
std::string deviceListing(const std::map<int, std::shared_ptr<const kivDevT>>& devices);
