// A native module as the user interface sees it: a name, promise methods with
// typed arguments, event names, constants, and an initializer that the host
// runs once per module instance with the instance's event emitter.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/host/promise.h"

namespace vlvpn::host {

enum class ArgType { String, Int, Bool, StringList };

const char* argTypeName(ArgType type);

// Arguments already checked against the method's declared types.
class Args {
 public:
  explicit Args(nlohmann::json values) : values_(std::move(values)) {}
  std::string string(size_t index) const { return values_.at(index).get<std::string>(); }
  int32_t integer(size_t index) const { return values_.at(index).get<int32_t>(); }
  bool boolean(size_t index) const { return values_.at(index).get<bool>(); }
  std::vector<std::string> strings(size_t index) const { return values_.at(index).get<std::vector<std::string>>(); }

 private:
  nlohmann::json values_;
};

struct Method {
  std::string name;
  std::vector<ArgType> args;
  std::function<void(const Args&, Promise)> invoke;
};

// Delivers an event to the interface; no body for events without payload.
using EventEmitter = std::function<void(const std::string& event, const std::optional<nlohmann::json>& body)>;

struct ModuleTable {
  std::string name;
  std::vector<std::string> events;
  std::vector<Method> methods;
  nlohmann::json constants = nlohmann::json::object();
  std::function<void(EventEmitter)> initialize;  // may be empty

  const Method* findMethod(std::string_view methodName) const;
};

// The modules as the interface's developers see them, for `VLVPNDesk
// --describe`: {"modules": [{"name", "methods": [{"name", "args": [type]}],
// "constants": [name]}], "events": [name]}, modules and methods in table
// order, constants sorted, each event once in the order first declared.
// Argument types: "string", "int32", "boolean", "string[]".
nlohmann::json describeModules(const std::vector<ModuleTable>& modules);

// Checks a call's arguments against the method's table entry; the text says
// what is wrong, nullopt when the call may go ahead.
std::optional<std::string> checkArguments(const std::string& moduleName, const Method& method,
                                          const nlohmann::json& args);

}  // namespace vlvpn::host
