#include "output.h"

#include "output.pb.h"

#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>

#include <iostream>

namespace kivcli {

namespace pb = google::protobuf;

std::string outputT::toJson(const pb::Message& m) {
    pb::util::JsonPrintOptions o;
    o.preserve_proto_field_names = true;
    std::string s;
    if (!pb::util::MessageToJsonString(m, &s, o).ok())
        return "{}";
    return s;
}

void outputT::message(const pb::Message& m) {
    if (_json) {
        std::cout << toJson(m) << "\n" << std::flush;
        return;
    }
    std::string s;
    pb::TextFormat::PrintToString(m, &s);
    std::cout << (s.empty() ? "(empty)\n" : s) << std::flush;
}

void outputT::object(const pb::Message& m) {
    std::cout << toJson(m) << "\n" << std::flush;
}

void outputT::text(const std::string& line) {
    if (!_json)
        std::cout << line << "\n" << std::flush;
}

int outputT::error(int code, const std::string& what) {
    if (_json) {
        kivcliout::errorT e;
        e.set_error(what);
        e.set_exit_code(code);
        std::cerr << toJson(e) << "\n" << std::flush;
    } else {
        std::cerr << "kivsvc-cli: " << what << "\n" << std::flush;
    }
    return code;
}

} // namespace kivcli
