#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include "desktop/tunnel/elevated_launcher.h"
#include "desktop/tunnel/tunnel_process_posix.h"

extern char** environ;

namespace vlvpn::tunnel {
namespace {

class PosixElevatedLauncher final : public ElevatedLauncher {
 public:
  ElevatedLaunch start(const std::filesystem::path& program, const std::string&,
                       const std::vector<std::string>& arguments) override {
    std::vector<std::string> words;
    if (geteuid() != 0) words.push_back("pkexec");
    words.push_back(program.string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ElevatedLaunch launch;
    if (error != 0) {
      launch.error = static_cast<uint32_t>(error);
    } else {
      launch.process = adoptChildProcess(pid);
    }
    return launch;
  }
};

}  // namespace

std::unique_ptr<ElevatedLauncher> ElevatedLauncher::create() { return std::make_unique<PosixElevatedLauncher>(); }

}  // namespace vlvpn::tunnel
