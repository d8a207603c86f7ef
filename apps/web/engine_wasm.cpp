// The WebAssembly module's C face, called from JavaScript (engine.mjs): attachments are added
// one by one, then packed; the archive or the failure's text is read back. No exception
// crosses it.
#include <emscripten/emscripten.h>

#include <string>
#include <vector>

#include "boundary.h"
#include "core/failure.h"
#include "crypto.h"
#include "engine.h"
#include "seams/native_services.h"
#include "ziperrors.h"

namespace {

struct Call {
  std::vector<parvex::web::Attachment> files;
  std::string output;  // the archive, or what went wrong
};

Call& call() {
  static Call c;
  return c;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int32_t pvx_add(const char* name, const char* bytes, size_t n) {
  return pvx::guard_result(ZE_MEM, ZE_LOGIC, [&] {
    call().files.push_back({name, std::string(bytes, n)});
    return ZE_OK;
  });
}

// bytes: where every salt is drawn from (the page's crypto.getRandomValues).
EMSCRIPTEN_KEEPALIVE void pvx_supply_random(const unsigned char* bytes, size_t n) {
  pvx::guard_result([&] { pvx::crypto::supply_random_bytes(bytes, n); });
}

// Packs what was added (and forgets it) at level (-1: the library's default); 0 and the archive
// in the output, or a failure's number and its text.
EMSCRIPTEN_KEEPALIVE int32_t pvx_pack(const char* password, double time, int32_t level) {
  return pvx::guard_result(ZE_MEM, ZE_LOGIC, [&] {
    static const bool started = (parvex::set_native_services(&parvex::make_native_services), true);
    (void)started;
    std::vector<parvex::web::Attachment> files;
    files.swap(call().files);
    int32_t result = 0;
    parvex::report_failure(
        [&] {
          call().output = parvex::web::pack_attachments(files, level, password,
                                                        static_cast<int64_t>(time), "/parvex-work");
        },
        [&](const parvex::Failure& f) {
          call().output = f.description();
          result = f.number() ? f.number() : ZE_LOGIC;
        });
    return result;
  });
}

EMSCRIPTEN_KEEPALIVE const char* pvx_output() {
  return call().output.data();
}

EMSCRIPTEN_KEEPALIVE size_t pvx_output_size() {
  return call().output.size();
}

// Forgets the output and any attachment added since the last pack: a call that failed halfway
// must not hand its files to the next message.
EMSCRIPTEN_KEEPALIVE void pvx_release() {
  std::string().swap(call().output);
  std::vector<parvex::web::Attachment>().swap(call().files);
}

}  // extern "C"
