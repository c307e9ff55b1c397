#include "desktop/host/bridge_host.h"

#include <algorithm>

namespace vlvpn::host {

using nlohmann::json;

struct BridgeHost::Shared {
  explicit Shared(LineWriter w) : writeLine(std::move(w)) {}

  void send(const json& message) {
    // Replace rather than throw on bytes that are not UTF-8: a profile's raw
    // bytes must not take the host down.
    const std::string line = message.dump(-1, ' ', false, json::error_handler_t::replace);
    std::lock_guard lock(writeMutex);
    writeLine(line);
  }

  void answer(const json& id, const Settlement& settlement) {
    json message = {{"id", id}};
    if (settlement.ok()) {
      message["result"] = settlement.value();
    } else {
      message["error"] = errorObject(settlement.error().message);
    }
    send(message);
    std::lock_guard lock(pendingMutex);
    --pending;
    pendingDone.notify_all();
  }

  LineWriter writeLine;
  std::mutex writeMutex;

  std::mutex pendingMutex;
  std::condition_variable pendingDone;
  size_t pending = 0;
};

BridgeHost::BridgeHost(std::vector<ModuleTable> modules, LineWriter writeLine)
    : modules_(std::move(modules)), shared_(std::make_shared<Shared>(std::move(writeLine))) {
  for (size_t i = 0; i < modules_.size(); ++i) initialized_.push_back(std::make_unique<std::once_flag>());
}

void BridgeHost::handleLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; })) return;

  const auto refuse = [this](const json& id, const std::string& message) {
    shared_->send({{"id", id}, {"error", errorObject(message)}});
  };

  json message = json::parse(line.begin(), line.end(), nullptr, false);
  if (message.is_discarded()) return refuse(nullptr, "Line is not valid JSON");
  if (!message.is_object()) return refuse(nullptr, "A call must be a JSON object");

  const json id = message.contains("id") ? message["id"] : json(nullptr);
  const auto stringField = [&](const char* key) -> const std::string* {
    const auto it = message.find(key);
    return it != message.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
  };
  const std::string* moduleName = stringField("module");
  if (!moduleName) return refuse(id, "A call needs \"module\" as a string");
  const std::string* methodName = stringField("method");
  if (!methodName) return refuse(id, "A call needs \"method\" as a string");
  const json args = message.contains("args") ? message["args"] : json::array();

  const auto module = std::find_if(modules_.begin(), modules_.end(),
                                   [&](const ModuleTable& m) { return m.name == *moduleName; });
  if (module == modules_.end()) return refuse(id, "Unknown module: " + *moduleName);
  call(id, *module, *methodName, args);
}

void BridgeHost::call(const json& id, const ModuleTable& module, const std::string& methodName,
                      const json& args) {
  const auto refuse = [&](const std::string& message) {
    shared_->send({{"id", id}, {"error", errorObject(message)}});
  };

  initializeOnce(static_cast<size_t>(&module - modules_.data()));

  if (methodName == "getConstants") {
    if (!args.is_array() || !args.empty()) return refuse(module.name + ".getConstants takes 0 arguments");
    return shared_->send({{"id", id}, {"result", module.constants}});
  }
  const Method* method = module.findMethod(methodName);
  if (!method) return refuse("Unknown method: " + module.name + "." + methodName);
  if (auto problem = checkArguments(module.name, *method, args)) return refuse(*problem);

  {
    std::lock_guard lock(shared_->pendingMutex);
    ++shared_->pending;
  }
  // The promise may settle after the host is gone; it keeps the shared part alive.
  Promise promise([shared = shared_, id](Settlement settlement) { shared->answer(id, settlement); });
  try {
    method->invoke(Args(args), promise);
  } catch (const std::exception& e) {
    promise.reject(e.what());
  } catch (...) {
    promise.reject("Unexpected failure in " + module.name + "." + methodName);
  }
}

void BridgeHost::initializeOnce(size_t moduleIndex) {
  const ModuleTable& module = modules_[moduleIndex];
  std::call_once(*initialized_[moduleIndex], [&] {
    if (!module.initialize) return;
    std::weak_ptr<Shared> weak = shared_;
    module.initialize([weak, events = module.events](const std::string& event, const std::optional<json>& body) {
      // Only the module's declared channels are bound.
      if (std::find(events.begin(), events.end(), event) == events.end()) return;
      const auto shared = weak.lock();
      if (!shared) return;
      json message = {{"event", event}};
      if (body) message["body"] = *body;
      shared->send(message);
    });
  });
}

void BridgeHost::readUntilEnd(std::istream& in) {
  std::string line;
  while (std::getline(in, line)) handleLine(line);
}

bool BridgeHost::waitForPendingCalls(std::chrono::milliseconds limit) {
  std::unique_lock lock(shared_->pendingMutex);
  return shared_->pendingDone.wait_for(lock, limit, [&] { return shared_->pending == 0; });
}

}  // namespace vlvpn::host

