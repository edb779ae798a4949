#include "cfginput.h"

#include <google/protobuf/io/tokenizer.h>
#include <google/protobuf/stubs/strutil.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>

namespace kivcli {

namespace pb = google::protobuf;

namespace {

// Collects the text parser's complaints instead of logging them.
class collectorT : public pb::io::ErrorCollector {
public:
    void AddError(int, pb::io::ColumnNumber col, const std::string& msg) override {
        if (text.empty())
            text = msg + " (column " + std::to_string(col + 1) + ")";
    }
    std::string text;
};

} // namespace

bool assignConfig(const std::vector<std::string>& words, kivsvc::q7xxConfigT& cfg,
                  std::string& err) {
    const pb::Descriptor* d = kivsvc::q7xxConfigT::descriptor();
    for (const auto& w : words) {
        auto eq = w.find('=');
        if (eq == std::string::npos || eq == 0) {
            err = "\"" + w + "\" is not FIELD=VALUE";
            return false;
        }
        const std::string name = w.substr(0, eq);
        const std::string value = w.substr(eq + 1);
        const pb::FieldDescriptor* f = d->FindFieldByName(name);
        if (!f) {
            err = "no configuration field \"" + name + "\"";
            return false;
        }
        // One field in protobuf's text form, parsed by protobuf: the value
        // can neither name another field nor escape its own.
        std::string textForm = name;
        switch (f->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_STRING:
            textForm += ": \"" + pb::CEscape(value) + "\"";
            break;
        case pb::FieldDescriptor::CPPTYPE_MESSAGE:
            textForm += " " + value;
            break;
        default:
            if (value.empty() || value.find_first_of(" \t\r\n{}:;,#\"'<>[]") != std::string::npos) {
                err = "bad value \"" + value + "\" for " + name;
                return false;
            }
            textForm += ": " + value;
        }
        kivsvc::q7xxConfigT one;
        pb::TextFormat::Parser parser;
        collectorT errors;
        parser.RecordErrorsTo(&errors);
        if (!parser.ParseFromString(textForm, &one) || !one.IsInitialized()) {
            err = "bad value \"" + value + "\" for " + name +
                  (errors.text.empty() ? "" : ": " + errors.text);
            return false;
        }
        // A nested value parses into this field alone; still, take only it.
        const pb::Reflection* r = one.GetReflection();
        std::vector<const pb::FieldDescriptor*> set;
        r->ListFields(one, &set);
        if (set.size() != 1 || set[0] != f) {
            err = "bad value \"" + value + "\" for " + name;
            return false;
        }
        cfg.GetReflection()->ClearField(&cfg, f);
        cfg.MergeFrom(one);
    }
    return true;
}

bool configFromJson(const std::string& json, kivsvc::q7xxConfigT& cfg, std::string& err) {
    kivsvc::q7xxConfigT in;
    auto st = pb::util::JsonStringToMessage(json, &in);
    if (!st.ok()) {
        err = "not a meter configuration: " + std::string(st.message());
        return false;
    }
    if (!in.IsInitialized()) {
        err = "incomplete meter configuration: " + in.InitializationErrorString();
        return false;
    }
    // Repeated fields replace, not extend, what the device has.
    const pb::Reflection* r = in.GetReflection();
    std::vector<const pb::FieldDescriptor*> set;
    r->ListFields(in, &set);
    for (auto* f : set)
        cfg.GetReflection()->ClearField(&cfg, f);
    cfg.MergeFrom(in);
    return true;
}

} // namespace kivcli
