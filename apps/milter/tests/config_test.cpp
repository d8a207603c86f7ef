// The milter's settings file and the socket spellings an administrator writes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "config.h"

namespace parvex::milter {
namespace {

TEST(MilterSocket, SpellingsMeanWhatTheySay) {
  struct Case {
    const char* written;
    const char* conn;  // libmilter's form, or null when refused
  };
  const Case cases[] = {
      {"inet:10027@127.0.0.1", "inet:10027@127.0.0.1"},
      {"inet:127.0.0.1:12599", "inet:12599@127.0.0.1"},  // main.cf's spelling
      {"INET:localhost:25", "inet:25@localhost"},
      {"inet6:10027@::1", "inet6:10027@::1"},
      {"inet6:[::1]:10027", "inet6:10027@::1"},
      {"unix:/run/parvex-milter/milter.sock", "unix:/run/parvex-milter/milter.sock"},
      {"local:/run/m.sock", "unix:/run/m.sock"},
      {"inet:10027", nullptr},  // a port alone listens on every interface
      {"inet:127.0.0.1", nullptr},
      {"inet:0@127.0.0.1", nullptr},
      {"inet:70000@127.0.0.1", nullptr},
      {"inet:12599@", nullptr},
      {"inet:12599@bad host", nullptr},
      {"inet:::1:25", nullptr},
      {"unix:milter.sock", nullptr},
      {"tcp:127.0.0.1:25", nullptr},
      {"127.0.0.1:25", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    std::string conn = "unchanged";
    const std::string problem = milter_socket(c.written, conn);
    if (c.conn) {
      EXPECT_EQ(problem, "") << c.written;
      EXPECT_EQ(conn, c.conn) << c.written;
    } else {
      EXPECT_NE(problem, "") << c.written;
      EXPECT_EQ(conn, "unchanged") << c.written;
    }
  }
}

TEST(MilterConfig, ReadsEverySettingAndNamesTheFaultyLine) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("parvex-milter-config-" + std::to_string(::getpid())))
                               .string();
  struct Case {
    const char* text;
    const char* problem;  // part of the message, or empty when read
  };
  const Case cases[] = {
      {"socket = inet:127.0.0.1:12599\ndry_run = yes\nskip_types = image/*, .MP4\n"
       "metrics_file = /m.prom\nheader_name =\nmax_packing = 4\nlarge_message_bytes = 100\n"
       "read_back = inflate\n",
       ""},
      {"# comment\n\nsocket = inet:12599\n", "line 3: socket inet:12599"},
      {"dry_run = maybe\n", "line 1: not yes or no"},
      {"read_back = yes\n", "line 1: read_back is list or inflate"},
      {"max_packing = 0\n", "line 1: out of range"},
      {"header_name = X Parvex\n", "line 1: not a header name"},
      {"colour = blue\n", "unknown setting colour"},
  };
  for (const Case& c : cases) {
    std::ofstream(path) << c.text;
    Config config;
    const std::string problem = read_config(path, config);
    if (*c.problem) {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
      continue;
    }
    EXPECT_EQ(problem, "");
    EXPECT_EQ(config.socket, "inet:12599@127.0.0.1");
    EXPECT_TRUE(config.dry_run);
    EXPECT_EQ(config.rules.skip_types, (std::vector<std::string>{"image/*", ".mp4"}));
    EXPECT_EQ(config.metrics_file, "/m.prom");
    EXPECT_EQ(config.header_name, "");
    EXPECT_EQ(config.max_packing, 4);
    EXPECT_EQ(config.large_message, 100);
    EXPECT_TRUE(config.rules.inflate_check);
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace parvex::milter
