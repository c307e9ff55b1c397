#include "desktop/shell/standard_streams.h"

namespace vlvpn::shell {

void useBinaryStandardStreams() {}

}  // namespace vlvpn::shell
