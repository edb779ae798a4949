// The process's own console, and running a command tree on it.
//
// cliInitOsConsole() puts a terminal on standard input into raw mode (no
// canonical input, no echo, Ctrl-C and Ctrl-Z delivered as keys; output
// processing kept) and makes standard output unbuffered. The saved modes are
// put back by cliRestoreOsConsole(), at exit and when a terminating signal
// arrives. When standard input is not a terminal nothing is changed and the
// console reads line by line (a line feed ends a line).
// Thread-safety: init and restore may be called from any thread; the getters
// return one shared decoder and terminal, to be driven by one thread.
// Failure: cliInitOsConsole() returns false when the terminal modes cannot be
// read or set.
#pragma once

#include <memory>

#include "cli/decoder.h"
#include "cli/elem.h"
#include "cli/output.h"

namespace rux {

bool cliInitOsConsole();
void cliRestoreOsConsole();
std::shared_ptr<cliInputDecoderT> cliGetOsConsoleIn();
std::shared_ptr<cliOutputT> cliGetOsConsoleOut();

// Runs a session on the console until its input ends. With quit, adds the
// command "quit" that ends the process. False when root is empty.
bool cliStart(std::shared_ptr<cliMenuT> root, bool quit);

} // namespace rux
