// Configuration changes as users give them: FIELD=VALUE words, or a JSON
// file holding the meter configuration as "get config --json" prints it.
//
// FIELD is a field name of the meter configuration; VALUE is a number, true or
// false, an enumeration name (or its number), text for text fields, or for a
// nested field the protobuf text form of its content ("{ diam { ... } }").
// Free functions without state; any thread. Failure is false with a reason in
// `err`; `cfg` may then hold part of the input.
#pragma once

#include <string>
#include <vector>

#include "messages.pb.h"

namespace kivcli {

// Merges every assignment into `cfg`.
bool assignConfig(const std::vector<std::string>& words, kivsvc::q7xxConfigT& cfg,
                  std::string& err);
// Merges a JSON object into `cfg`.
bool configFromJson(const std::string& json, kivsvc::q7xxConfigT& cfg, std::string& err);

} // namespace kivcli
