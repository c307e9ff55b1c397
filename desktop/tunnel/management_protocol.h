// OpenVPN's management protocol as the program reads it: state reports
// (real-time ">STATE:" lines and the history lines of the "state" answer)
// turned into the three connection states, and received bytes cut into lines.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/tunnel/management_connection.h"

namespace vlvpn::tunnel {

// "connected", "connecting", "disconnected", or "" for a name outside the
// table (exact, case-sensitive).
std::string mapOpenVpnState(std::string_view name);

// The connection state a line reports; nullopt when it is no state report.
// Takes ">STATE:<time>,<NAME>,..." and the history form "<digits>,<NAME>,...",
// with or without its line end.
std::optional<std::string> parseStateLine(std::string_view line);

// Cuts received bytes at every LF; complete lines come back with their LF,
// in order, and the incomplete rest waits for the next bytes.
class LineBuffer {
 public:
  std::vector<std::string> append(std::string_view bytes);
  const std::string& pending() const { return pending_; }

 private:
  std::string pending_;
};

// Sends `command` and CR LF in one send; nothing when there is no connection.
void sendManagementCommand(ManagementConnection* connection, std::string_view command);

// The state an answer to "state" gives: that of its last state report; else
// "connected" when the text contains ",CONNECTED,", else "connecting".
std::string stateFromAnswer(std::string_view text);

inline constexpr int kQueryWaits = 15;
inline constexpr std::chrono::milliseconds kQueryWait{250};
inline constexpr size_t kQueryReceiveBytes = 2047;
inline constexpr size_t kQueryMaxBytes = 8192;

// Sends "state" and reads the answer: up to 15 waits of 250 ms, until a wait
// finds nothing more after some bytes came, the connection ends, or more
// than 8192 bytes were gathered. Then stateFromAnswer.
std::string queryState(ManagementConnection& connection);

}  // namespace vlvpn::tunnel
