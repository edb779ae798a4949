// Helpers shared by the parser states.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/ctx.h"

namespace rux::impl {

// What may be typed as a character: printable and not a blank.
bool printable(char c);
// The name a listing shows: typed values without their leading '^'.
std::string shown(const cliElemT& e);
// One listing row per visible value of p.
void valueRows(cliParamT& p, const std::shared_ptr<cliElemT::listT>& values,
               std::vector<cliCtxT::rowT>& rows);

} // namespace rux::impl
