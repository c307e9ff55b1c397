#include "desktop/host/module.h"

#include <algorithm>
#include <limits>

namespace vlvpn::host {
namespace {

bool matches(ArgType type, const nlohmann::json& value) {
  switch (type) {
    case ArgType::String:
      return value.is_string();
    case ArgType::Bool:
      return value.is_boolean();
    case ArgType::Int:
      if (value.is_number_unsigned()) return value.get<uint64_t>() <= uint64_t{std::numeric_limits<int32_t>::max()};
      if (value.is_number_integer()) {
        const auto v = value.get<int64_t>();
        return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
      }
      return false;
    case ArgType::StringList:
      if (!value.is_array()) return false;
      for (const auto& item : value) {
        if (!item.is_string()) return false;
      }
      return true;
  }
  return false;
}

}  // namespace

const char* argTypeName(ArgType type) {
  switch (type) {
    case ArgType::String:
      return "a string";
    case ArgType::Int:
      return "a 32-bit integer";
    case ArgType::Bool:
      return "a boolean";
    case ArgType::StringList:
      return "an array of strings";
  }
  return "?";
}

namespace {

const char* describedType(ArgType type) {
  switch (type) {
    case ArgType::String:
      return "string";
    case ArgType::Int:
      return "int32";
    case ArgType::Bool:
      return "boolean";
    case ArgType::StringList:
      return "string[]";
  }
  return "?";
}

}  // namespace

nlohmann::json describeModules(const std::vector<ModuleTable>& modules) {
  nlohmann::json described = nlohmann::json::array();
  nlohmann::json events = nlohmann::json::array();
  for (const auto& module : modules) {
    nlohmann::json methods = nlohmann::json::array();
    for (const auto& method : module.methods) {
      nlohmann::json args = nlohmann::json::array();
      for (ArgType type : method.args) args.push_back(describedType(type));
      methods.push_back({{"name", method.name}, {"args", std::move(args)}});
    }
    nlohmann::json constants = nlohmann::json::array();
    for (const auto& [name, value] : module.constants.items()) constants.push_back(name);
    described.push_back({{"name", module.name}, {"methods", std::move(methods)}, {"constants", std::move(constants)}});
    for (const auto& event : module.events) {
      if (std::find(events.begin(), events.end(), event) == events.end()) events.push_back(event);
    }
  }
  return {{"modules", std::move(described)}, {"events", std::move(events)}};
}

const Method* ModuleTable::findMethod(std::string_view methodName) const {
  for (const auto& method : methods) {
    if (method.name == methodName) return &method;
  }
  return nullptr;
}

std::optional<std::string> checkArguments(const std::string& moduleName, const Method& method,
                                          const nlohmann::json& args) {
  const std::string qualified = moduleName + "." + method.name;
  if (!args.is_array()) return qualified + ": \"args\" must be an array";
  if (args.size() != method.args.size()) {
    return qualified + " takes " + std::to_string(method.args.size()) + " argument" +
           (method.args.size() == 1 ? "" : "s") + ", got " + std::to_string(args.size());
  }
  for (size_t i = 0; i < args.size(); ++i) {
    if (!matches(method.args[i], args[i])) {
      return qualified + ": argument " + std::to_string(i + 1) + " must be " + argTypeName(method.args[i]);
    }
  }
  return std::nullopt;
}

}  // namespace vlvpn::host
