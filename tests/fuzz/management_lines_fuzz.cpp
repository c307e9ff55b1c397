// What OpenVPN's management interface sends, however it arrives: a state
// report never yields a state outside the three, the answer to "state" is
// always one of them, and lines come out of the buffer whole and in order
// however the bytes were cut.
#include <deque>
#include <string>

#include "desktop/tunnel/management_protocol.h"
#include "tests/fuzz/fuzz_property.h"

using namespace vlvpn;

namespace {

bool isState(std::string_view state) {
  return state == "connected" || state == "connecting" || state == "disconnected";
}

// Hands out the chunks in turn, then times out or ends.
class ScriptedConnection : public tunnel::ManagementConnection {
 public:
  ScriptedConnection(std::deque<std::string> chunks, bool endAfter) : chunks_(std::move(chunks)), endAfter_(endAfter) {}
  void send(std::string_view bytes) override { sent.append(bytes); }
  tunnel::Readiness waitReadable(std::chrono::milliseconds) override {
    ++waits;
    if (!chunks_.empty() || endAfter_) return tunnel::Readiness::Readable;
    return tunnel::Readiness::TimedOut;
  }
  std::string receive(size_t maxBytes) override {
    if (chunks_.empty()) return {};
    std::string chunk = chunks_.front();
    chunks_.pop_front();
    if (chunk.size() > maxBytes) {
      chunks_.push_front(chunk.substr(maxBytes));
      chunk.resize(maxBytes);
    }
    return chunk;
  }
  std::string sent;
  int waits = 0;

 private:
  std::deque<std::string> chunks_;
  bool endAfter_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t cuts = data[0];
  const std::string_view bytes = fuzz::asText(data + 1, size - 1);

  std::deque<std::string> chunks;
  for (size_t at = 0, i = 0; at < bytes.size(); ++i) {
    const size_t length = 1 + (cuts >> (i % 8) & 0x0f) * (i + 1) % 97;
    chunks.emplace_back(bytes.substr(at, length));
    at += length;
  }

  tunnel::LineBuffer buffer;
  std::string rejoined;
  for (const auto& chunk : chunks) {
    for (const auto& line : buffer.append(chunk)) {
      fuzz::require(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1,
                    "each line ends at its one LF");
      rejoined += line;
      if (const auto state = tunnel::parseStateLine(line)) fuzz::require(isState(*state), "a state line gives one of three");
    }
  }
  fuzz::require(rejoined + buffer.pending() == bytes, "no byte is lost, doubled or reordered");
  fuzz::require(buffer.pending().find('\n') == std::string::npos, "nothing complete is kept back");

  if (const auto state = tunnel::parseStateLine(bytes)) fuzz::require(isState(*state), "a state line gives one of three");
  const std::string mapped = tunnel::mapOpenVpnState(bytes);
  fuzz::require(mapped.empty() || isState(mapped), "a state name maps into the three or to nothing");
  fuzz::require(isState(tunnel::stateFromAnswer(bytes)), "an answer gives one of three");

  ScriptedConnection connection(chunks, cuts & 1);
  fuzz::require(isState(tunnel::queryState(connection)), "a queried state is one of three");
  fuzz::require(connection.sent == "state\r\n", "the query sends one state command");
  fuzz::require(connection.waits <= tunnel::kQueryWaits, "the query waits at most its number of times");
  return 0;
}
