#include "tests/support/desktop_windows_win32.h"

#include <array>
#include <fstream>
#include <vector>

#include "common/win32/wide.h"
#include "desktop/shell/tray_window_messages_win32.h"

namespace vlvpn::test {
namespace {

template <class Find>
HWND waitFor(Find find) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (HWND found = find()) return found;
    Sleep(50);
  }
  return nullptr;
}

struct Search {
  DWORD pid;
  const wchar_t* title;
  const wchar_t* className;
  HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<Search*>(parameter);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->pid) return TRUE;
  wchar_t text[128] = {};
  if (search->title && (GetWindowTextW(window, text, 128) == 0 || std::wstring(text) != search->title)) return TRUE;
  if (search->className && (GetClassNameW(window, text, 128) == 0 || std::wstring(text) != search->className)) {
    return TRUE;
  }
  if (search->className && !IsWindowVisible(window)) return TRUE;
  search->found = window;
  return FALSE;
}

HWND findWindowOf(uint32_t pid, const wchar_t* title, const wchar_t* className) {
  Search search{pid, title, className, nullptr};
  EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// PNG without compression: zlib's stored blocks need no library.
uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void putBigEndian(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void putChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  putBigEndian(out, static_cast<uint32_t>(data.size()));
  std::vector<uint8_t> typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out.insert(out.end(), typed.begin(), typed.end());
  putBigEndian(out, crc32(typed.data(), typed.size()));
}

std::vector<uint8_t> storedZlib(const std::vector<uint8_t>& raw) {
  std::vector<uint8_t> out{0x78, 0x01};
  uint32_t a = 1, b = 0;
  for (uint8_t byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  for (size_t offset = 0; offset < raw.size() || offset == 0;) {
    const size_t length = std::min<size_t>(65535, raw.size() - offset);
    const bool last = offset + length == raw.size();
    out.push_back(last ? 1 : 0);
    out.push_back(static_cast<uint8_t>(length));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(~length));
    out.push_back(static_cast<uint8_t>(~length >> 8));
    out.insert(out.end(), raw.begin() + static_cast<ptrdiff_t>(offset),
               raw.begin() + static_cast<ptrdiff_t>(offset + length));
    offset += length;
    if (last) break;
  }
  putBigEndian(out, (b << 16) | a);
  return out;
}

}  // namespace

HWND mainWindowOf(uint32_t pid) { return waitFor([&] { return findWindowOf(pid, L"Velmora VPN", nullptr); }); }

HWND trayWindowOf(const std::string& instance) {
  const std::wstring className = wideFromUtf8("VLVPNTrayWindow" + instance);
  return waitFor([&] { return FindWindowW(className.c_str(), nullptr); });
}

HWND openTrayMenu(HWND trayWindow, uint32_t pid) {
  PostMessageW(trayWindow, shell::kTrayCallback, 1, WM_RBUTTONUP);
  return waitFor([&] { return findWindowOf(pid, nullptr, L"#32768"); });
}

bool closeTrayMenu(HWND menuWindow) {
  // Straight into the menu loop's queue: whichever window has the focus.
  PostMessageW(menuWindow, WM_KEYDOWN, VK_ESCAPE, 0);
  PostMessageW(menuWindow, WM_KEYUP, VK_ESCAPE, 0);
  return waitFor([&]() -> HWND { return IsWindow(menuWindow) && IsWindowVisible(menuWindow) ? nullptr : HWND(1); });
}

bool saveScreenPng(const RECT& area, const std::filesystem::path& file) {
  const int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, previous);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
  const bool read = GetDIBits(memory, bitmap, 0, height, bgra.data(), &info, DIB_RGB_COLORS) == height;
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (!read) return false;

  std::vector<uint8_t> raw;
  raw.reserve(static_cast<size_t>(height) * (width * 3 + 1));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    for (int x = 0; x < width; ++x) {
      const uint8_t* pixel = &bgra[(static_cast<size_t>(y) * width + x) * 4];
      raw.insert(raw.end(), {pixel[2], pixel[1], pixel[0]});
    }
  }
  std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  putBigEndian(header, static_cast<uint32_t>(width));
  putBigEndian(header, static_cast<uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
  putChunk(png, "IHDR", header);
  putChunk(png, "IDAT", storedZlib(raw));
  putChunk(png, "IEND", {});
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(out);
}

}  // namespace vlvpn::test
