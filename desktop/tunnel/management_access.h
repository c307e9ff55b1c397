// Who may be taken for the tunnel's OpenVPN on its management port, and
// the password OpenVPN asks of its clients.
//
// OpenVPN listens on the fixed 127.0.0.1:11940, which any local user can
// reach, and which another user's program could hold in OpenVPN's place. So
// each connect gives the session's password when asked for it, and a
// listener is taken for the tunnel only when it belongs to the OpenVPN the
// program expects.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "desktop/tunnel/management_connection.h"

namespace vlvpn::tunnel {

enum class ManagementLogin {
  Open,      // no password asked: an OpenVPN started without one
  LoggedIn,  // the password was asked for and taken
  Refused,   // the password was asked for and refused
  Silent,    // nothing said within the wait: another client holds the interface
};

// Reads OpenVPN's first words and, when they are "ENTER PASSWORD:", gives
// `password` and waits for its verdict.
ManagementLogin logInToManagement(ManagementConnection& connection, std::string_view password,
                                  std::chrono::milliseconds wait);

// A port whose connections have answered the password prompt with the
// session's password (`password` gives it, "" for none), so that every
// command sent on them reaches OpenVPN as a command. A refused password
// gives no connection, and so does an interface that says nothing within the
// wait (OpenVPN busy, or serving another client), which would take the first
// command for the password; an OpenVPN that asks none is connected as before.
class LoggingInManagementPort final : public ManagementPort {
 public:
  LoggingInManagementPort(std::shared_ptr<ManagementPort> port, std::function<std::string()> password,
                          std::chrono::milliseconds wait = std::chrono::milliseconds(1000))
      : port_(std::move(port)), password_(std::move(password)), wait_(wait) {}
  std::shared_ptr<ManagementConnection> connect() override;

 private:
  std::shared_ptr<ManagementPort> port_;
  std::function<std::string()> password_;
  std::chrono::milliseconds wait_;
};

// A fresh password for one connect: 32 hexadecimal digits from the
// system's random source.
std::string newManagementPassword();

// The password in a profile's "management.txt": its first line.
std::string managementPasswordOf(std::string_view fileText);

// Whether the socket listening on 127.0.0.1:`port` belongs to process `pid`.
// Linux: its inode among the process's descriptors where they can be read;
// else, for a root process (the service's OpenVPN), a listener owned by
// root, which no user's program can be. Windows: the owning process of the
// listener in the TCP table (where the table names none, as Wine's does, the
// listener is taken as it was before the check). False when no such
// listener is found.
bool managementListenerBelongsTo(uint32_t pid, uint16_t port = kManagementPort);  // per platform

}  // namespace vlvpn::tunnel
