// outputT: how the client's results and errors reach the user: text for
// people, or JSON (protobuf's own printer) for scripts, one object per line.
//
// Results go to standard output, errors to standard error (as JSON objects
// too in JSON mode). The JSON forms are messages of output.proto. Not
// thread-safe: the main thread prints.
#pragma once

#include <google/protobuf/message.h>

#include <string>

namespace kivcli {

// Exit codes of the program.
enum exitT {
    exOK = 0,
    exREFUSED = 1,     // the device or service refused, or a check failed
    exUSAGE = 2,       // bad command line or input file
    exUNREACHABLE = 3, // service unreachable or time-out
    exNODEVICE = 4,    // no such device
};

class outputT {
public:
    explicit outputT(bool json) : _json(json) {}

    bool json() const { return _json; }

    // A schema message: its JSON form, or its text form for people.
    void message(const google::protobuf::Message& m);
    // A JSON object (one line), whatever the mode.
    void object(const google::protobuf::Message& m);
    // A line for people (nothing in JSON mode).
    void text(const std::string& line);
    // Prints the error and returns `code`, for `return out.error(...)`.
    int error(int code, const std::string& what);

    // One-line JSON of any message, field names as in the schema.
    static std::string toJson(const google::protobuf::Message& m);

private:
    bool _json;
};

} // namespace kivcli
