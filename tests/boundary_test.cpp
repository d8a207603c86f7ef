// The boundary kit: handle owners close exactly once; a caught exception becomes its code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "boundary.h"
#include "unique_any.h"

namespace {

std::vector<intptr_t> closed;
void close_fake(void* h) {
  closed.push_back(reinterpret_cast<intptr_t>(h));
}
using unique_fake = pvx::unique_any<void*, &close_fake, -1>;
void* fake(intptr_t v) {
  return reinterpret_cast<void*>(v);
}

TEST(UniqueAny, ClosesOnceThroughResetMoveAndPut) {
  closed.clear();
  {
    unique_fake none;
    EXPECT_FALSE(none);
    unique_fake zero(fake(0));  // 0 is a valid handle when -1 means none
    EXPECT_TRUE(zero);
    unique_fake a(fake(7));
    unique_fake b(std::move(a));
    EXPECT_FALSE(a);
    b = unique_fake(fake(8));  // closes 7
    *b.put() = fake(9);        // closes 8
    unique_fake c(fake(10));
    void* kept = c.release();  // never closed
    EXPECT_EQ(kept, fake(10));
  }
  EXPECT_EQ(closed, (std::vector<intptr_t>{7, 8, 9, 0}));
}

TEST(Boundary, EachKindOfThrowGivesItsCode) {
  struct Case {
    int32_t (*thrower)();
    int32_t code, hresult;
  };
  const Case cases[] = {
      {[]() -> int32_t { throw std::bad_alloc(); }, 4, pvx::kHrOutOfMemory},
      {[]() -> int32_t { throw pvx::ResultError(16); }, 16, 16},
      {[]() -> int32_t { throw std::runtime_error("x"); }, 99, pvx::kHrFail},
      {[]() -> int32_t { throw 5; }, 99, pvx::kHrFail},
      {[]() -> int32_t { throw std::system_error(5, std::system_category()); }, 99,
       static_cast<int32_t>(0x80070005U)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pvx::guard_result<int32_t>(4, 99, c.thrower), c.code);
    const int32_t hr = [&]() -> int32_t {
      try {
        return c.thrower();
      } catch (...) {
        return pvx::hresult_from_caught_exception();
      }
    }();
    EXPECT_EQ(hr, c.hresult);
  }
}

#ifdef PARVEX_SOURCE_TREE
// Every function the libraries, the host or COM call into (an export, a callback, a COM method)
// runs its body through one of the kit's guards; only the reference-counting and type-query
// plumbing, which cannot throw, goes without. Reads the sources, outside tests and the kit.
TEST(Boundary, EveryEntryPointGoesThroughAGuard) {
  namespace fs = std::filesystem;
  const std::regex entry(
      R"(\b(PVX_CALL|CALLBACK|WINAPI|STDMETHODCALLTYPE|STDAPICALLTYPE)\s+(\w+)\s*\(|\bsfsistat\s+(on_\w+)\s*\()");
  const std::regex plumbing(
      "QueryInterface|AddRef|Release|GetTypeInfoCount|GetTypeInfo|GetIDsOfNames|DllMain|"
      "DllCanUnloadNow|LockServer|InterfaceSupportsErrorInfo|GetConnectionInterface|Unadvise|"
      "GetConnectionPointContainer|EnumConnections|EnumConnectionPoints|FindConnectionPoint");
  const std::regex outside("/(tests|build|libs/kit|fuzz|bench)/");
  const std::regex guard(R"(pvx::guard_result[(<]|pvx::win::guard_)");
  std::vector<std::string> unguarded;
  size_t guarded = 0;
  for (auto it = fs::recursive_directory_iterator(PARVEX_SOURCE_TREE); it != fs::end(it); ++it) {
    const fs::directory_entry& e = *it;
    const std::string path = e.path().generic_string();
    if (e.is_directory() && (e.path().filename() == "build" || e.path().filename() == ".git")) {
      it.disable_recursion_pending();
      continue;
    }
    if (e.path().extension() != ".cpp" || std::regex_search(path, outside)) continue;
    std::ifstream in(e.path());
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    for (std::sregex_iterator m(text.begin(), text.end(), entry), end; m != end; ++m) {
      const std::string name = (*m)[2].matched ? (*m)[2].str() : (*m)[3].str();
      // A definition: its parameter list is followed by a body before any ';'.
      const size_t at = static_cast<size_t>(m->position() + m->length());
      const size_t open = text.find('{', at), semi = text.find(';', at);
      if (open == std::string::npos || semi < open || std::regex_match(name, plumbing)) continue;
      int depth = 0;
      size_t close = open;
      for (; close < text.size(); ++close) {
        if (text[close] == '{') ++depth;
        if (text[close] == '}' && --depth == 0) break;
      }
      const std::string body = text.substr(open, close - open);
      if (std::regex_search(body, guard)) {
        ++guarded;
      } else {
        unguarded.push_back(path.substr(path.rfind('/') + 1) + ": " + name);
      }
    }
  }
  EXPECT_GE(guarded, 30u);  // the scan found the entry points
  EXPECT_EQ(unguarded, std::vector<std::string>{});
}
#endif

}  // namespace
