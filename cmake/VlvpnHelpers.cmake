# Adds the platform file of each named unit: vlvpn_platform_sources(t common/text)
# adds common/text_win32.cpp or common/text_posix.cpp.
function(vlvpn_platform_sources target)
  foreach(unit IN LISTS ARGN)
    target_sources(${target} PRIVATE ${unit}_${VLVPN_PLATFORM}.cpp)
  endforeach()
endfunction()

# nlohmann/json is header-only. The cross build must not see the host's
# /usr/include, so only the library's own folder is copied into the build.
function(vlvpn_add_json_library)
  find_path(VLVPN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(dest ${CMAKE_BINARY_DIR}/third_party/include)
  file(COPY ${VLVPN_JSON_INCLUDE}/nlohmann DESTINATION ${dest})
  add_library(vlvpn_json INTERFACE)
  target_include_directories(vlvpn_json SYSTEM INTERFACE ${dest})
endfunction()
