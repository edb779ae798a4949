// Configuration input as users type it: NUL-separated FIELD=VALUE words, or
// (when the input starts with '{') a JSON configuration.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cfginput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    kivsvc::q7xxConfigT cfg;
    std::string err;
    if (!in.empty() && in[0] == '{') {
        kivcli::configFromJson(in, cfg, err);
        return 0;
    }
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at <= in.size()) {
        std::size_t nul = in.find('\0', at);
        if (nul == std::string::npos)
            nul = in.size();
        words.push_back(in.substr(at, nul - at));
        at = nul + 1;
    }
    kivcli::assignConfig(words, cfg, err);
    return 0;
}
