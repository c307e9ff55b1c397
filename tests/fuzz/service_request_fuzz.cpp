// One request line as any local user may send it to the service: whatever
// the bytes, the reply is one line from the protocol's replies, at most one
// command runs, and the log line it leaves cannot start a line of its own.
#include <set>
#include <string>

#include "service/connection.h"
#include "service/dispatcher.h"
#include "service/request_text.h"
#include "service/service_log.h"
#include "tests/fakes/recording_service_commands.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view request = fuzz::asText(data, size);
  test::RecordingServiceCommands commands;
  commands.enableResult = 7;
  service::Dispatcher dispatcher(commands, "0123456789abcdef");

  const std::string reply = dispatcher.dispatch(request);
  static const std::set<std::string> replies = {"PONG",   "OK",        "ERR 7",     "ERR bad_format",
                                                "ERR unknown_command", "OK 4242", "OK STOPPED",
                                                "OK 0123456789abcdef 0 0"};
  fuzz::require(replies.count(reply) == 1, "the reply is one of the protocol's replies");
  fuzz::require(commands.calls.size() <= 1, "one request runs at most one command");
  if (service::Dispatcher::isHealthCheck(request)) {
    fuzz::require(reply == "PONG" && commands.calls.empty(), "a health check only answers PONG");
  }

  const std::string logged = service::requestForLog(request);
  for (const char c : logged) {
    const auto byte = static_cast<unsigned char>(c);
    fuzz::require(byte >= 0x20 && byte != 0x7f, "a logged request holds no control byte");
  }

  service::ServiceLog log{std::filesystem::path{}, [] { return service::LocalTime{}; }};
  test::RecordingServiceCommands again;
  again.enableResult = commands.enableResult;
  service::Dispatcher second(again, "0123456789abcdef");
  const std::string line = service::answerRequest(second, log, request);
  fuzz::require(line == reply + "\n", "the reply goes out as exactly one line");
  return 0;
}
