// SPDX-License-Identifier: BSD-2-Clause
// vrell-scan's reading of clamd without a socket: replies as clamd sends them, and the socket
// of its configuration file.

#include "tools/clamd.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "harness.h"

namespace {

using namespace std::string_view_literals;

struct reply_case {
  std::string_view replies;
  clamd_result result;
  const char *text;
};

TEST(ClamdTest, ReadsTheVerdictOfEveryReplyForm) {
  const reply_case cases[] = {
      {"fd[10]: OK\0"sv, CLAMD_OK, ""},
      {"fd[10]: OK\n"sv, CLAMD_OK, ""},
      {"fd[7]: Eicar-Test-Signature.UNOFFICIAL FOUND\0"sv, CLAMD_FOUND,
       "Eicar-Test-Signature.UNOFFICIAL"},
      // A name may hold ": " and "]: ", and one match among several replies wins.
      {"fd[7]: Win.Test: a]: b FOUND\0"sv, CLAMD_FOUND, "Win.Test: a]: b"},
      {"fd[7]: OK\0fd[7]: First FOUND\0fd[7]: Second FOUND\0"sv, CLAMD_FOUND, "First"},
      {"fd[7]: lstat() failed: No such file. ERROR\0"sv, CLAMD_ERROR,
       "lstat() failed: No such file."},
      {"fd[7]: Not a regular file ERROR\0fd[7]: OK\0"sv, CLAMD_ERROR, "Not a regular file"},
      // Not a verdict: nothing was scanned.
      {"UNKNOWN COMMAND\0"sv, CLAMD_ERROR, "UNKNOWN COMMAND"},
      {"fd[7]: ERROR\0"sv, CLAMD_ERROR, "ERROR"},
      {"fd[7]: NOT OK\0"sv, CLAMD_ERROR, "NOT OK"},
      {"fd[7]: FOUNDER\0"sv, CLAMD_ERROR, "FOUNDER"},
      {""sv, CLAMD_ERROR, "No reply from clamd"},
      {"\0\0\n"sv, CLAMD_ERROR, "No reply from clamd"},
  };
  for (const reply_case &c : cases) {
    clamd_verdict verdict = clamd_parse_reply(c.replies);
    EXPECT_EQ(verdict.result, c.result) << c.replies;
    EXPECT_EQ(verdict.text, c.text) << c.replies;
  }
}

TEST(ClamdTest, FindsTheLocalSocketOfAConfigurationAndRefusesWhatIsNoFile) {
  EXPECT_EQ(clamd_conf_socket("#Automatically Generated\nLocalSocket /var/run/clamav/clamd.ctl\n"
                              "FixStaleSocket true\n"),
            "/var/run/clamav/clamd.ctl");
  // Comments, quotes, tabs, a CR LF line end; the last line counts; a longer name is another.
  EXPECT_EQ(clamd_conf_socket("# LocalSocket /commented\nLocalSocketMode 666\n"
                              "LocalSocket /first\n\tLocalSocket\t\"/run/with space\" \r\n"),
            "/run/with space");
  EXPECT_EQ(clamd_conf_socket("LocalSocketGroup clamav\nTCPSocket 3310\nLocalSocket\n"), "");

  daemon_under_test d;
  ASSERT_TRUE(harness_init(&d));
  const std::string conf = d.dir + "/clamd.conf", fifo = d.dir + "/fifo";
  harness_write_file(conf, "Foreground yes\nLocalSocket " + d.dir + "/clamd.sock\n");
  std::string socket_path;
  EXPECT_EQ(clamd_socket_from_conf(conf.c_str(), &socket_path), 0);
  EXPECT_EQ(socket_path, d.dir + "/clamd.sock");
  harness_write_file(conf, "TCPSocket 3310\n");
  EXPECT_EQ(clamd_socket_from_conf(conf.c_str(), &socket_path), -2);
  EXPECT_EQ(clamd_socket_from_conf((d.dir + "/none").c_str(), &socket_path), -1);
  EXPECT_EQ(errno, ENOENT);
  // A FIFO nobody writes would hold a blocking open for ever.
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(clamd_socket_from_conf(fifo.c_str(), &socket_path), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(clamd_socket_from_conf(d.dir.c_str(), &socket_path), -1);
  EXPECT_EQ(socket_path, "");
  harness_cleanup(&d);
}

}  // namespace
