#include "common/path_component.h"

#include <gtest/gtest.h>

#include <string>

namespace vlvpn {
namespace {

TEST(PortablePathComponent, NamesExactlyOneFileOnEveryPlatform) {
  using namespace std::string_literals;
  for (const std::string_view name : {"home", "home.ovpn", "Caf\xC3\xA9 2", "a.b.c", "-dash", "con2", "COM0", "LPT10",
                                 "nul-and-more", "console", ".hidden", "a..b"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(isPortablePathComponent(name));
  }
  for (const auto& name : {""s, "."s, ".."s, "a/b"s, "a\\b"s, "c:"s, "a\0b"s, "tab\there"s, "line\nfeed"s,
                                 "del\x7F"s, "quote\"d"s, "<x>"s, "a|b"s, "what?"s, "star*"s, "trailing."s,
                                 "trailing "s, "CON"s, "con"s, "Prn.txt"s, "aux.tar.gz"s, "NUL"s, "nul.ovpn"s,
                                 "COM1"s, "com9.log"s, "LPT1"s, "lpt5.x"s}) {
    SCOPED_TRACE(testing::PrintToString(name));
    EXPECT_FALSE(isPortablePathComponent(name));
  }
}

}  // namespace
}  // namespace vlvpn
