// The identifiers of the add-in's type library, its five public classes and their default
// interfaces. Generated once; never change them, or every registered copy is orphaned.
// Read by the IDL compiler (bare tokens in uuid(...)) and by C++ (as GUID constants).
#pragma once

// The formatter would split the bare identifiers at their dashes.
// clang-format off
#define PARVEX_LIBID 3E3810ED-007C-4CF7-BD0A-D8A08A097FE9
#define PARVEX_CLSID_Connect FBA3A5F7-B7CB-420F-B910-848EF0C882FF
#define PARVEX_IID_Connect 2CEA2533-0D9B-456B-9421-1C95CBD4BF0A
#define PARVEX_CLSID_clsOutlookExplorerEvents 7A4F065C-261B-4829-9B10-3989B8714995
#define PARVEX_IID_clsOutlookExplorerEvents 47FA3784-0CE9-4EA0-AE9C-A01A00B36C6F
#define PARVEX_CLSID_clsExplorerWrapper 73346E08-0110-424B-B48E-3A6CB53347D2
#define PARVEX_IID_clsExplorerWrapper 94C1B3C7-C455-4F2E-8756-9831FCB92C64
#define PARVEX_CLSID_clsInspectorWrapper A57EEAB4-63C7-479C-9356-5579B4EF050C
#define PARVEX_IID_clsInspectorWrapper 6B4F5D7C-DD52-409F-BE91-EAA9D97EE46C
#define PARVEX_CLSID_clsOutlookInspectorEvents 52A3472B-0FBF-45D4-A889-182744836597
#define PARVEX_IID_clsOutlookInspectorEvents 577FEF9D-728B-406F-A6D3-695281D70C9F

// The host add-in designer's library and connection interface (not ours; never registered).
#define ADDIN_DESIGNER_LIBID AC0714F2-3D04-11D1-AE7D-00A0C90F26F4
#define IID_IDTExtensibility2_TEXT B65AD801-ABAF-11D0-BB8B-00A0C90F2744
// clang-format on

#ifndef __WIDL__
#include <guiddef.h>

#include <array>
#include <string_view>

namespace parvex::com {

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" to a GUID, at compile time.
consteval GUID guid_from(std::string_view s) {
  auto hex = [&](size_t at, size_t digits) {
    unsigned long long v = 0;
    for (size_t i = at; i < at + digits; ++i) {
      const char c = s[i];
      const int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : throw "not a hex digit";
      v = v * 16 + static_cast<unsigned>(d);
    }
    return v;
  };
  if (s.size() != 36) throw "not a GUID";
  GUID g{static_cast<unsigned long>(hex(0, 8)),
         static_cast<unsigned short>(hex(9, 4)),
         static_cast<unsigned short>(hex(14, 4)),
         {}};
  g.Data4[0] = static_cast<unsigned char>(hex(19, 2));
  g.Data4[1] = static_cast<unsigned char>(hex(21, 2));
  for (size_t i = 0; i < 6; ++i) g.Data4[2 + i] = static_cast<unsigned char>(hex(24 + 2 * i, 2));
  return g;
}

#define PARVEX_TEXT_(x) #x
#define PARVEX_TEXT(x) PARVEX_TEXT_(x)
#define PARVEX_GUID(x) ::parvex::com::guid_from(PARVEX_TEXT(x))

inline constexpr GUID kLibId = PARVEX_GUID(PARVEX_LIBID);
inline constexpr GUID kIidIDTExtensibility2 = PARVEX_GUID(IID_IDTExtensibility2_TEXT);

struct PublicClass {
  const wchar_t* name;
  GUID clsid;
  GUID iid;  // default interface, "_" + name in the type library
};

// In the order the type library lists them; Connect first.
inline constexpr std::array<PublicClass, 5> kPublicClasses{{
    {L"Connect", PARVEX_GUID(PARVEX_CLSID_Connect), PARVEX_GUID(PARVEX_IID_Connect)},
    {L"clsOutlookExplorerEvents", PARVEX_GUID(PARVEX_CLSID_clsOutlookExplorerEvents),
     PARVEX_GUID(PARVEX_IID_clsOutlookExplorerEvents)},
    {L"clsExplorerWrapper", PARVEX_GUID(PARVEX_CLSID_clsExplorerWrapper),
     PARVEX_GUID(PARVEX_IID_clsExplorerWrapper)},
    {L"clsInspectorWrapper", PARVEX_GUID(PARVEX_CLSID_clsInspectorWrapper),
     PARVEX_GUID(PARVEX_IID_clsInspectorWrapper)},
    {L"clsOutlookInspectorEvents", PARVEX_GUID(PARVEX_CLSID_clsOutlookInspectorEvents),
     PARVEX_GUID(PARVEX_IID_clsOutlookInspectorEvents)},
}};
inline constexpr const GUID& kClsidConnect = kPublicClasses[0].clsid;

}  // namespace parvex::com
#endif
