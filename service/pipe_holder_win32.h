// Who serves a named pipe.
#pragma once

#include <string>

namespace vlvpn::service {

// "pid N (image path)" of the process serving the pipe `name`, found by
// connecting as a client that allows identification only, so the holder
// learns no more than who asks; "a process that cannot be named (code)"
// when no instance takes the connection.
std::string pipeServerOf(const std::wstring& name);

}  // namespace vlvpn::service
