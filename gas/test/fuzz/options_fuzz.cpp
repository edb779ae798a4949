// Command lines through the skeleton's option table: every standard option's
// assigner, the whole-value parsing of the application's own options, and
// getopt_long around them. Input: the arguments, separated by NUL bytes.
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "gas/app.h"
#include "std_options.h"

namespace {

class fuzzAppT : public rux::gasT {
public:
    fuzzAppT() : gasT("gas_fuzz") {}

    unsigned count = 0;
    int level = 0;
    double ratio = 0;
    std::string text;
    rux::ipv4SockAddrT addr;
    std::string input;

protected:
    int _run() override { return 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using optionT = rux::gasT::optionT;
    static fuzzAppT app;
    rux::impl::gasParserT::cfg(app) = rux::gasCfgT();
    rux::impl::gasParserT::cfg(app).appKind = 1;

    std::vector<std::string> args = {"gas_fuzz"};
    std::string cur;
    for (size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += char(data[i]);
        }
    }
    args.push_back(cur);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::list<optionT> opts;
    opts.emplace_back("count", 'n', optionT::enREQUIRED, "", optionT::parseVar(app.count));
    opts.emplace_back("level", 'i', optionT::enREQUIRED, "", optionT::parseVar(app.level));
    opts.emplace_back("ratio", 'r', optionT::enOPTIONAL, "", optionT::parseVar(app.ratio));
    opts.emplace_back("text", 't', optionT::enREQUIRED, "", optionT::parseVar(app.text));
    opts.emplace_back("addr", 'a', optionT::enREQUIRED, "", optionT::parseVar(app.addr));
    opts.emplace_back("input", '\0', optionT::enPOSITIONAL, "", optionT::parseVar(app.input));
    rux::impl::gasParserT::parse(app, opts, int(args.size()), argv.data());
    return 0;
}
