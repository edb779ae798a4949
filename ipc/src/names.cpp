#include "ipc/names.h"

namespace rux {
namespace impl {

const char* const g_ipcd_name = "rux_ipcd";
const std::string nodeName_INVALID;

} // namespace impl
} // namespace rux
