// The client's commands, one function each, run by main() once the command
// line is parsed. Each connects to the device service itself and returns the
// program's exit code (exitT), having printed its result or error.
//
// Main thread only. `quit` is set (by the signal thread) when the user asks
// the program to end; the commands that run on (watch, flash) poll it.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "flasher.h"
#include "output.h"

namespace kivcli {

struct optionsT {
    bool json = false;
    double timeout = 10; // seconds per request
    double wait = 0;     // seconds to wait for the service to come up
    std::string device;
    // get
    bool stored = false;
    // set config
    std::vector<std::string> assignments;
    std::string file;
    bool save = false;
    // reset
    std::string resetKind;
    // watch
    std::string measureDevice;
    double interval = 1;
    long count = 0; // 0: until interrupted
    // flash
    std::string image;
    imageT img;
};

struct contextT {
    optionsT o;
    outputT out{false};
    const std::atomic<bool>* quit = nullptr;
    // Set by a command that from now on polls `quit` itself; until then a
    // signal ends the program at once.
    std::atomic<bool>* polling = nullptr;
};

int cmdList(contextT& c);
int cmdVersion(contextT& c);
int cmdGet(contextT& c, const std::string& what); // "config", "status", "measure"
int cmdSetConfig(contextT& c);
int cmdReset(contextT& c);
int cmdWatch(contextT& c);
int cmdFlash(contextT& c);

} // namespace kivcli
