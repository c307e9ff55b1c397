#include "common/openvpn_arguments.h"

namespace vlvpn {
namespace {

constexpr std::string_view kManagementOption = " --management 127.0.0.1 11940";
constexpr std::string_view kFixedOptions =
    " --verb 3 --connect-retry 2 --connect-timeout 10 --connect-retry-max 5"
    " --ping 10 --ping-restart 60"
    " --windows-driver tap-windows6";

std::string quoted(std::string_view path) {
  std::string text;
  text.reserve(path.size() + 2);
  text.append(1, '"').append(path).append(1, '"');
  return text;
}

// Consumes `option "<path>"` from the front of `text`.
std::optional<std::string> takeQuotedOption(std::string_view& text, std::string_view option) {
  if (!text.starts_with(option) || text.substr(option.size()).substr(0, 2) != " \"") return std::nullopt;
  text.remove_prefix(option.size() + 2);
  const size_t close = text.find('"');
  if (close == std::string_view::npos || close == 0) return std::nullopt;
  std::string path(text.substr(0, close));
  text.remove_prefix(close + 1);
  return path;
}

// Splits kFixedOptions into words once, for the argument vector.
std::vector<std::string> fixedWords() {
  std::vector<std::string> words;
  std::string_view rest = kFixedOptions;
  while (!rest.empty()) {
    rest.remove_prefix(1);  // the space before each word
    const size_t end = rest.find(' ');
    words.emplace_back(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
  }
  return words;
}

}  // namespace

std::string formatOpenVpnArguments(const OpenVpnArguments& arguments) {
  std::string text = "--config " + quoted(arguments.configPath);
  if (arguments.credentialsPath) text += " --auth-user-pass " + quoted(*arguments.credentialsPath);
  if (!arguments.logPath.empty()) text += " --log " + quoted(arguments.logPath);
  text += kManagementOption;
  if (arguments.managementPasswordPath) text.append(" ").append(quoted(*arguments.managementPasswordPath));
  text += kFixedOptions;
  return text;
}

std::optional<OpenVpnArguments> parseOpenVpnArguments(std::string_view text) {
  OpenVpnArguments arguments;
  auto config = takeQuotedOption(text, "--config");
  if (!config) return std::nullopt;
  arguments.configPath = std::move(*config);
  if (text.starts_with(" --auth-user-pass ")) {
    text.remove_prefix(1);
    auto credentials = takeQuotedOption(text, "--auth-user-pass");
    if (!credentials) return std::nullopt;
    arguments.credentialsPath = std::move(*credentials);
  }
  if (!text.starts_with(' ')) return std::nullopt;
  text.remove_prefix(1);
  auto log = takeQuotedOption(text, "--log");
  if (!log) return std::nullopt;
  arguments.logPath = std::move(*log);
  if (!text.starts_with(kManagementOption)) return std::nullopt;
  text.remove_prefix(kManagementOption.size());
  if (text.starts_with(" \"")) {
    text.remove_prefix(2);
    const size_t close = text.find('"');
    if (close == std::string_view::npos || close == 0) return std::nullopt;
    arguments.managementPasswordPath = std::string(text.substr(0, close));
    text.remove_prefix(close + 1);
  }
  if (text != kFixedOptions) return std::nullopt;
  return arguments;
}

std::vector<std::string> openVpnArgumentVector(const OpenVpnArguments& arguments) {
  std::vector<std::string> words{"--config", arguments.configPath};
  if (arguments.credentialsPath) {
    words.push_back("--auth-user-pass");
    words.push_back(*arguments.credentialsPath);
  }
  if (!arguments.logPath.empty()) {
    words.push_back("--log");
    words.push_back(arguments.logPath);
  }
  for (const char* word : {"--management", "127.0.0.1", "11940"}) words.emplace_back(word);
  if (arguments.managementPasswordPath) words.push_back(*arguments.managementPasswordPath);
  for (auto& word : fixedWords()) words.push_back(std::move(word));
  return words;
}

}  // namespace vlvpn
