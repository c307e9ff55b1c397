// The bridge speaks UTF-8 JSON lines on standard input and output.
#pragma once

namespace vlvpn::shell {

// Puts standard input and output into binary mode, so no CR is added to or
// removed from protocol lines (Windows); nothing to do on Linux.
void useBinaryStandardStreams();

}  // namespace vlvpn::shell
