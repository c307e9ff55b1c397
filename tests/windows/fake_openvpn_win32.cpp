// A stand-in for openvpn.exe in the Windows tests: under Wine a Linux program
// started through CreateProcessW has no process handle. It notes its command
// line in the --log file, or without --log on standard output, as OpenVPN
// logs; it says it started on standard error. A configuration holding the
// line "# fake-openvpn: management" also gets OpenVPN's management interface
// on the --management address, as the real OpenVPN speaks it: WAIT at first,
// CONNECTED after 300 ms, and "signal SIGTERM" ends it. Any other
// configuration waits to be ended.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr DWORD kConnectAfterMs = 300;

struct Options {
  std::wstring config, log;
  unsigned short port = 0;
};

Options readOptions(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"--config") == 0) options.config = argv[i + 1];
    if (std::wcscmp(argv[i], L"--log") == 0) options.log = argv[i + 1];
    if (std::wcscmp(argv[i], L"--management") == 0 && i + 2 < argc) {
      options.port = static_cast<unsigned short>(std::wcstoul(argv[i + 2], nullptr, 10));
    }
  }
  return options;
}

void appendLog(const Options& options, const std::string& line) {
  if (options.log.empty()) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  } else if (FILE* log = _wfopen(options.log.c_str(), L"ab")) {
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
  }
}

bool sendText(SOCKET s, const std::string& text) {
  return send(s, text.data(), static_cast<int>(text.size()), 0) == static_cast<int>(text.size());
}

std::string historyLine(const char* state) {
  return std::string("1796754052,") + state + ",SUCCESS,10.8.0.2,127.0.0.1,1194,,\r\n";
}

// Serves one management client; true when it asked OpenVPN to end.
bool serveClient(SOCKET client, DWORD startedAt) {
  sendText(client, ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n");
  bool realTime = false, announced = false;
  std::string pending;
  for (;;) {
    const bool connected = GetTickCount() - startedAt >= kConnectAfterMs;
    if (realTime && connected && !announced) {
      sendText(client, ">STATE:1796754053,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,\r\n");
      announced = true;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client, &readable);
    timeval wait{0, 50 * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    char buffer[512];
    const int n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string command = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!command.empty() && command.back() == '\r') command.pop_back();
      const char* state = connected ? "CONNECTED" : "WAIT";
      if (command == "state on all") {
        realTime = true;
        announced = connected;
        sendText(client, "SUCCESS: real-time state notification set to ON\r\n" + historyLine("CONNECTING") +
                             historyLine(state) + "END\r\n");
      } else if (command == "state") {
        sendText(client, historyLine(state) + "END\r\n");
      } else if (command == "signal SIGTERM") {
        sendText(client, "SUCCESS: signal SIGTERM thrown\r\n>STATE:1796754060,EXITING,SIGTERM,,,,,\r\n");
        return true;
      }
    }
  }
}

int serveManagement(const Options& options) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options.port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0) {
    appendLog(options, "MANAGEMENT: Socket bind failed on local address [AF_INET]127.0.0.1:" +
                           std::to_string(options.port) + ": Address already in use (errno=98)");
    return 1;
  }
  const DWORD startedAt = GetTickCount();
  for (;;) {
    SOCKET client = accept(listener, nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    const bool ended = serveClient(client, startedAt);
    closesocket(client);
    if (ended) {
      appendLog(options, "SIGTERM[hard,] received, process exiting");
      closesocket(listener);
      return 0;
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::fputs("fake openvpn started\n", stderr);
  std::fflush(stderr);
  // Line ends as they are written, whether the log is a named file or
  // the standard output the service handed over.
  _setmode(_fileno(stdout), _O_BINARY);
  const Options options = readOptions(argc, argv);
  if (options.log.empty()) {
    for (int j = 0; j < argc; ++j) std::printf("%ls\n", argv[j]);
    std::fflush(stdout);
  } else if (FILE* log = _wfopen(options.log.c_str(), L"wb")) {
    for (int j = 0; j < argc; ++j) std::fprintf(log, "%ls\n", argv[j]);
    std::fclose(log);
  }
  std::string text;
  {
    // Closed before waiting: the service rewrites its copy for the next start.
    std::ifstream config(std::filesystem::path(options.config), std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(config), std::istreambuf_iterator<char>());
  }
  if (options.port != 0 && text.find("# fake-openvpn: management") != std::string::npos) return serveManagement(options);
  Sleep(INFINITE);
  return 0;
}
