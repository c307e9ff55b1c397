#include <sys/stat.h>

#include <cstdlib>
#include <ctime>

#include "service/service_log.h"

namespace vlvpn::service {

LocalTime localTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
          local.tm_min,         local.tm_sec,     static_cast<int>(now.tv_nsec / 1'000'000)};
}

std::filesystem::path serviceDataPath(std::string_view fileName) {
  const char* programData = std::getenv("ProgramData");
  const std::filesystem::path folder = programData && *programData
                                           ? std::filesystem::path(programData) / "VelmoraVPN"
                                           : std::filesystem::path("/var/lib/VelmoraVPN");
  ::mkdir(folder.c_str(), 0755);  // normally there already
  return folder / fileName;
}

}  // namespace vlvpn::service
