// Time to name N attachments that all carry one file name (default 3000).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "compression/mail_send.h"
#include "seams/native_services.h"

int main(int argc, char** argv) {
  parvex::set_native_services(&parvex::make_native_services);
  const int n = argc > 1 ? std::atoi(argv[1]) : 3000;
  std::set<std::string> taken;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i) parvex::compression::saved_name("report.pdf", taken);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%d same-named attachments named in %.3f s\n", n, took.count());
  return 0;
}
