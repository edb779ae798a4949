#include "gas/console/cli_log_output.h"

#include "gas/console/shared_output.h"

namespace rux {

cliLogOutputT::cliLogOutputT(std::shared_ptr<cliOutputT> out)
    : logDevT("cli"), _out(std::move(out)),
      _shared(std::dynamic_pointer_cast<cliSharedOutputT>(_out)) {}

void cliLogOutputT::_doLog(const std::string& text, int) {
    if (!_out || text.empty())
        return;
    if (_shared) {
        _shared->post(text);
        return;
    }
    lockT<mutexT> g(_mtx);
    if (!_out->bol())
        _out->nl();
    _out->text(text);
    _out->flush();
}

} // namespace rux
