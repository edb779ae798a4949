#include "output.h"

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

void outputT::object(const pb::Struct& s) {
    std::cout << toJson(s) << "\n" << std::flush;
}

void outputT::text(const std::string& line) {
    if (!_json)
        std::cout << line << "\n" << std::flush;
}

int outputT::error(int code, const std::string& what) {
    if (_json) {
        pb::Struct s;
        put(s, "error", what);
        put(s, "exit_code", double(code));
        std::cerr << toJson(s) << "\n" << std::flush;
    } else {
        std::cerr << "kivsvc-cli: " << what << "\n" << std::flush;
    }
    return code;
}

void put(pb::Struct& s, const std::string& key, const std::string& value) {
    (*s.mutable_fields())[key].set_string_value(value);
}

void put(pb::Struct& s, const std::string& key, double value) {
    (*s.mutable_fields())[key].set_number_value(value);
}

void put(pb::Struct& s, const std::string& key, bool value) {
    (*s.mutable_fields())[key].set_bool_value(value);
}

void put(pb::Struct& s, const std::string& key, const pb::Message& m) {
    pb::Value v;
    if (pb::util::JsonStringToMessage(outputT::toJson(m), &v).ok())
        (*s.mutable_fields())[key] = v;
}

} // namespace kivcli
