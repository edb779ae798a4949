// Command-line interface engine: the whole public interface.
#pragma once

#include "cli/action.h"
#include "cli/args.h"
#include "cli/console.h"
#include "cli/ctx.h"
#include "cli/decoder.h"
#include "cli/elem.h"
#include "cli/input.h"
#include "cli/output.h"
#include "cli/session.h"
#include "cli/state.h"
#include "cli/term.h"
