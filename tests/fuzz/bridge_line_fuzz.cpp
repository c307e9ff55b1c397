// The JSON lines the interface sends to the bridge host: whatever the bytes,
// every line that is not blank gets exactly one answer, each answer is one
// line of JSON naming the call's id, and the host carries on.
#include <sstream>
#include <string>
#include <vector>

#include "desktop/host/bridge_host.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;
using nlohmann::json;

namespace {

host::ModuleTable echoModule() {
  host::ModuleTable module;
  module.name = "Echo";
  module.methods.push_back({"echo",
                            {host::ArgType::String, host::ArgType::Int, host::ArgType::Bool, host::ArgType::StringList},
                            [](const host::Args& args, host::Promise promise) {
                              promise.resolve({args.string(0), args.integer(1), args.boolean(2), args.strings(3)});
                            }});
  module.methods.push_back({"fail", {}, [](const host::Args&, host::Promise promise) { promise.reject("no"); }});
  return module;
}

size_t callLines(std::string_view input) {
  size_t count = 0;
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    std::string_view line = input.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") != std::string_view::npos) ++count;
    start = end + 1;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> written;
  {
    host::BridgeHost bridge({echoModule()}, [&](const std::string& line) { written.push_back(line); });
    std::istringstream in(input);
    bridge.readUntilEnd(in);
    fuzz::require(bridge.waitForPendingCalls(std::chrono::seconds(5)), "every call is answered");
  }
  fuzz::require(written.size() == callLines(input), "one answer for each line that is not blank");
  for (const auto& line : written) {
    fuzz::require(line.find('\n') == std::string::npos, "an answer is one line");
    const json answer = json::parse(line, nullptr, false);
    fuzz::require(answer.is_object() && answer.contains("id"), "an answer is a JSON object naming the call");
    fuzz::require(answer.contains("result") != answer.contains("error"), "an answer is a result or an error");
  }
  return 0;
}
