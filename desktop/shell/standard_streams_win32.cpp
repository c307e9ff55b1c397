#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "desktop/shell/standard_streams.h"

namespace vlvpn::shell {

void useBinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace vlvpn::shell
