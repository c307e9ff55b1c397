#include "service/service_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "service/request_text.h"
#include "tests/support/temp_dir.h"

namespace vlvpn::service {
namespace {

std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

LocalTime fixedTime() { return {2026, 12, 8, 9, 5, 3, 7}; }

TEST(ServiceLog, WritesStampedLinesWithCrLf) {
  test::TempDir dir;
  ServiceLog log(dir.path() / "killswitch.log", fixedTime);
  log.write("service started");
  log.write("caf\xC3\xA9 -> OK");
  EXPECT_EQ(readAll(dir.path() / "killswitch.log"),
            "2026-12-08 09:05:03.007 service started\r\n2026-12-08 09:05:03.007 caf\xC3\xA9 -> OK\r\n");
  ServiceLog nowhere({}, fixedTime);
  nowhere.write("dropped");  // an empty path logs nothing and does not fail
}

TEST(ServiceLog, RotatesToOneOlderGenerationAboveTheLimit) {
  test::TempDir dir;
  const auto path = dir.path() / "killswitch.log";
  auto older = path;
  older += ".1";
  ServiceLog log(path, fixedTime);

  std::ofstream(path, std::ios::binary) << std::string(kLogRotateBytes, 'a');
  log.write("at the limit");
  EXPECT_FALSE(std::filesystem::exists(older)) << "exactly 1,048,576 bytes is appended to";

  std::ofstream(older, std::ios::binary) << "stale generation";
  log.write("over the limit");
  EXPECT_EQ(std::filesystem::file_size(older), kLogRotateBytes + 24 + 12 + 2);
  EXPECT_EQ(readAll(path), "2026-12-08 09:05:03.007 over the limit\r\n");
}

TEST(ServiceLog, RotatesAFileItHoldsOpenOnceItsOwnLinesTakeItOverTheLimit) {
  test::TempDir dir;
  const auto path = dir.path() / "killswitch.log";
  auto older = path;
  older += ".1";
  std::ofstream(path, std::ios::binary) << std::string(kLogRotateBytes - 10, 'a');
  ServiceLog log(path, fixedTime);
  log.write("first");  // opens the file: 10 bytes under the limit, 29 over once written
  EXPECT_FALSE(std::filesystem::exists(older));
  log.write("second");
  log.write("third");
  EXPECT_EQ(std::filesystem::file_size(older), kLogRotateBytes - 10 + 24 + 5 + 2) << "only the file that went over";
  EXPECT_EQ(readAll(path), "2026-12-08 09:05:03.007 second\r\n2026-12-08 09:05:03.007 third\r\n");
}

TEST(RequestText, TrimsAndEscapesForTheLog) {
  EXPECT_EQ(trimSpace(" \t PING \r\n"), "PING");
  EXPECT_EQ(trimSpace(" \r\n\t"), "");
  EXPECT_EQ(trimSpace("a b"), "a b");
  EXPECT_EQ(requestForLog("OPENVPN_START\t/x\t--a\r\n"), "OPENVPN_START /x --a");
  EXPECT_EQ(requestForLog("PING\r\n2026-01-01 00:00:00.000 forged -> OK\n"),
            "PING\\x0D\\x0A2026-01-01 00:00:00.000 forged -> OK");
  EXPECT_EQ(escapeControlBytes(std::string("a\0b\x1b\x7f", 5)), "a\\x00b\\x1B\\x7F");
}

}  // namespace
}  // namespace vlvpn::service
