#include <windows.h>
#include <commdlg.h>
#include <ole2.h>

#include "desktop/tunnel/ovpn_file_picker.h"

namespace vlvpn::tunnel {

std::optional<std::filesystem::path> chooseProfileFile() {
  // The dialog's shell extensions want OLE on the calling thread.
  const HRESULT ole = OleInitialize(nullptr);

  wchar_t chosen[MAX_PATH] = {};
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = nullptr;
  dialog.lpstrFilter = L"OpenVPN config (*.ovpn)\0*.ovpn\0All files\0*.*\0";
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = chosen;
  dialog.nMaxFile = MAX_PATH;
  dialog.lpstrTitle = L"Import OpenVPN Profile (.ovpn)";
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
  // A failure, a cancel and a path longer than the buffer all count as no choice.
  const BOOL picked = GetOpenFileNameW(&dialog);

  if (SUCCEEDED(ole)) OleUninitialize();
  if (!picked) return std::nullopt;
  return std::filesystem::path(chosen);
}

}  // namespace vlvpn::tunnel
