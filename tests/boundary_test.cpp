// The boundary kit: handle owners close exactly once; a caught exception becomes its code.
#include <gtest/gtest.h>

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

}  // namespace
