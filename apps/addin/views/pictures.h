// The pictures and the icon that the models name by file name under resources/, read from the
// resources of the module that linked the views (see CMakeLists.txt for the names).
#pragma once

#include <windows.h>

#include <string>

#include "win32_handles.h"

namespace parvex::views {

using unique_hbitmap = pvx::win::unique_gdi<HBITMAP>;
using unique_hfont = pvx::win::unique_gdi<HFONT>;
using unique_hicon = pvx::unique_any<HICON, &::DestroyIcon>;

// "logo.bmp" is the resource LOGO_BMP: letters and digits upper-cased, anything else '_'.
std::wstring resource_name(const std::string& file_name);

// The picture decoded (BMP or JPEG); empty when the module has no such resource or it cannot
// be decoded. Needs COM on the calling thread, as the host's thread has it.
unique_hbitmap load_picture(HINSTANCE module, const std::string& file_name);

// The icon at the given size in pixels; empty when missing.
unique_hicon load_icon(HINSTANCE module, const std::string& file_name, int size);

}  // namespace parvex::views
