// Importing a profile: the user picks a configuration file, the program reads
// it and hands the interface its name, content and folder. Importing itself is
// the interface's next call (saveOvpnProfile).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vlvpn::tunnel {

struct PickedFile {
  std::string fileName;         // UTF-8
  std::string content;          // the file's bytes, without a UTF-8 byte-order mark
  std::string sourceDirectory;  // UTF-8, without the trailing separator
  friend bool operator==(const PickedFile&, const PickedFile&) = default;
};

// Splits `pathUtf8` at its last `separator` and strips a leading EF BB BF from
// `content`. A path without a separator is all file name.
PickedFile describePickedFile(std::string_view pathUtf8, char separator, std::string content);

// Reads the chosen file whole; a file that cannot be opened reads as "".
PickedFile readPickedFile(const std::filesystem::path& path);

// Shows the system's dialog for choosing a profile file and waits for it.
// nullopt when the user cancels or no dialog can be shown. Windows: the
// open-file dialog. Linux: zenity, when a display and zenity are present.
std::optional<std::filesystem::path> chooseProfileFile();

}  // namespace vlvpn::tunnel
