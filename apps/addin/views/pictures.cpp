#include "pictures.h"

#include <objidl.h>
#include <ole2.h>
#include <olectl.h>

#include <cstring>

#include "win32_handles.h"

namespace parvex::views {

std::wstring resource_name(const std::string& file_name) {
  std::wstring name;
  for (const char c : file_name) {
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name.push_back(alnum ? static_cast<wchar_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c) : L'_');
  }
  return name;
}

unique_hbitmap load_picture(HINSTANCE module, const std::string& file_name) {
  const std::wstring name = resource_name(file_name);
  HRSRC found = FindResourceW(module, name.c_str(), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (!found) return {};
  const DWORD size = SizeofResource(module, found);
  const void* bytes = LockResource(LoadResource(module, found));
  if (!bytes || size == 0) return {};

  // OleLoadPicture reads a stream, and a stream over memory wants movable global memory.
  pvx::win::unique_hglobal memory(GlobalAlloc(GMEM_MOVEABLE, size));
  if (!memory) return {};
  {
    auto locked = pvx::win::lock_global(memory.get());
    if (!locked) return {};
    std::memcpy(locked.get(), bytes, size);
  }
  pvx::win::com_ptr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(memory.get(), FALSE, stream.put()))) return {};
  pvx::win::com_ptr<IPicture> picture;
  if (FAILED(OleLoadPicture(stream.get(), static_cast<LONG>(size), FALSE, IID_IPicture,
                            reinterpret_cast<void**>(picture.put())))) {
    return {};
  }
  OLE_HANDLE handle = 0;
  if (FAILED(picture->get_Handle(&handle)) || handle == 0) return {};
  // The picture object owns its bitmap; keep a copy of our own.
  return unique_hbitmap(static_cast<HBITMAP>(
      CopyImage(reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(handle)), IMAGE_BITMAP, 0, 0, 0)));
}

unique_hicon load_icon(HINSTANCE module, const std::string& file_name, int size) {
  const std::wstring name = resource_name(file_name);
  return unique_hicon(
      static_cast<HICON>(LoadImageW(module, name.c_str(), IMAGE_ICON, size, size, 0)));
}

}  // namespace parvex::views
