// SPDX-License-Identifier: BSD-2-Clause
#include "daemon/settings.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "daemon/cmdline.h"

namespace {

// The unprivileged user and group that root's tests switch to.
constexpr uid_t kNobody = 65534;

// A fresh temporary directory holding a socket node, a regular file and a subdirectory.
class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vrell_settings_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    socket_node_ = dir_ + "/stale.sock";
    regular_file_ = dir_ + "/plain";
    std::ofstream(regular_file_) << "x";
    std::filesystem::create_directory(dir_ + "/sub");

    socket_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socket_fd_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_node_.size(), sizeof address.sun_path);
    strcpy(address.sun_path, socket_node_.c_str());
    ASSERT_EQ(0, bind(socket_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address));
  }

  void TearDown() override {
    if (socket_fd_ >= 0) close(socket_fd_);
    std::filesystem::remove_all(dir_);
  }

  // Validates one command-line value set by edit under flags over the defaults. Returns the
  // message, empty when every value was admitted; *effective receives the result.
  template <typename Edit>
  std::string validate(int32_t flags, Edit edit, daemon_settings *effective = nullptr) {
    daemon_settings command_line;
    settings_clear(&command_line);
    edit(&command_line);
    daemon_settings local;
    if (effective == nullptr) effective = &local;
    settings_set_defaults(effective);
    char message[SETTINGS_MESSAGE_MAX];
    memset(message, 'x', sizeof message);
    int result = settings_validate(&command_line, effective, flags, message);
    EXPECT_EQ(result == 0, message[0] == '\0') << message;
    return message;
  }

  // Writes text as the configuration file and returns its path.
  std::string write_conf(const std::string &text) {
    std::string path = dir_ + "/vrell.ini";
    std::ofstream(path, std::ios::trunc) << text;
    return path;
  }

  static std::string read_file(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
  std::string socket_node_;
  std::string regular_file_;
  int socket_fd_ = -1;
};

TEST_F(SettingsTest, NumbersAreAdmittedOnlyInTheirRanges) {
  struct row {
    int32_t flag;
    uint32_t value;
    const char *message;
  };
  const std::vector<row> rows = {
      {OPT_THREADS, 4, "Invalid cache thread count (4). Min 5, Max 25"},
      {OPT_THREADS, 5, ""},
      {OPT_THREADS, 25, ""},
      {OPT_THREADS, 26, "Invalid cache thread count (26). Min 5, Max 25"},
      {OPT_THREADS, 261, ""},  // 261 keeps its low 8 bits: 5
      {OPT_THREADS, static_cast<uint32_t>(-1), "Invalid cache thread count (255). Min 5, Max 25"},
      {OPT_MAX_ENTRY, 49, "Invalid cache capacity count (49). Min 50, Max 1024"},
      {OPT_MAX_ENTRY, 50, ""},
      {OPT_MAX_ENTRY, 1024, ""},
      {OPT_MAX_ENTRY, 1025, "Invalid cache capacity count (1025). Min 50, Max 1024"},
      {OPT_MAX_ENTRY, static_cast<uint32_t>(-1),
       "Invalid cache capacity count (4294967295). Min 50, Max 1024"},
      {OPT_LIFE, 0, ""},
      {OPT_LIFE, 3600, ""},
      {OPT_LIFE, 3601, "Invalid entry life time (3601). Min 0, Max 3600"},
      {OPT_LIFE, static_cast<uint32_t>(-1),
       "Invalid entry life time (4294967295). Min 0, Max 3600"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(testing::Message() << "flag " << r.flag << " value " << r.value);
    daemon_settings effective;
    std::string message = validate(
        r.flag,
        [&](daemon_settings *s) {
          s->threads = static_cast<uint8_t>(r.value);
          s->max_entries = r.value;
          s->life_time = r.value;
        },
        &effective);
    EXPECT_EQ(r.message, message);
    if (message.empty()) {
      EXPECT_EQ(r.flag == OPT_THREADS ? static_cast<uint8_t>(r.value) : DEFAULT_THREADS,
                effective.threads);
      EXPECT_EQ(r.flag == OPT_MAX_ENTRY ? r.value : DEFAULT_MAX_ENTRIES, effective.max_entries);
      EXPECT_EQ(r.flag == OPT_LIFE ? r.value : DEFAULT_LIFE_TIME, effective.life_time);
    }
  }
}

TEST_F(SettingsTest, PathsAreCheckedInOrder) {
  struct row {
    int32_t flag;
    std::string path;
    std::string message;
  };
  const std::string missing_dir = dir_ + "/none/x";
  const std::vector<row> rows = {
      {OPT_SOCK_PATH, "", "Invalid socket path. Must start with '/'"},
      {OPT_SOCK_PATH, "relative.sock", "Invalid socket path. Must start with '/'"},
      {OPT_SOCK_PATH, socket_node_, "Socket already opened at path (" + socket_node_ + ")"},
      {OPT_SOCK_PATH, regular_file_, "Non-socket file exists at path (" + regular_file_ + ")"},
      {OPT_SOCK_PATH, dir_ + "/sub", "Non-socket file exists at path (" + dir_ + "/sub)"},
      {OPT_SOCK_PATH, missing_dir, "Invalid socket path (" + missing_dir + ")"},
      {OPT_SOCK_PATH, regular_file_ + "/x", "Invalid socket path (" + regular_file_ + "/x)"},
      {OPT_SOCK_PATH, dir_ + "/new.sock", ""},
      {OPT_PID_FILE, "", "Invalid pid file path ()"},
      {OPT_PID_FILE, "vrell.pid", "Invalid pid file path (vrell.pid)"},
      {OPT_PID_FILE, regular_file_, "File already exists at path (" + regular_file_ + ")"},
      {OPT_PID_FILE, socket_node_, "File already exists at path (" + socket_node_ + ")"},
      {OPT_PID_FILE, missing_dir, "Invalid pid file path (" + missing_dir + ")"},
      {OPT_PID_FILE, dir_ + "/new.pid", ""},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.path);
    daemon_settings effective;
    std::string message = validate(
        r.flag,
        [&](daemon_settings *s) {
          settings_copy_path(s->socket_path, r.path.c_str());
          settings_copy_path(s->pid_path, r.path.c_str());
        },
        &effective);
    EXPECT_EQ(r.message, message);
    if (message.empty()) {
      EXPECT_EQ(r.flag == OPT_SOCK_PATH ? r.path : DEFAULT_SOCKET_PATH, effective.socket_path);
      EXPECT_EQ(r.flag == OPT_PID_FILE ? r.path : DEFAULT_PID_PATH, effective.pid_path);
    }
  }
}

TEST_F(SettingsTest, LongPathMessagesAreBounded) {
  // A 255-character path under the missing directory: the message is cut at 255 characters.
  const std::string path = dir_ + "/none/" + std::string(255 - dir_.size() - 6, 'p');
  ASSERT_EQ(255u, path.size());
  std::string message =
      validate(OPT_PID_FILE, [&](daemon_settings *s) { strcpy(s->pid_path, path.c_str()); });
  EXPECT_EQ(255u, message.size());
  EXPECT_EQ(0u, message.find("Invalid pid file path (" + dir_));
}

TEST_F(SettingsTest, FirstRefusalStopsAfterEarlierCopies) {
  daemon_settings effective;
  std::string message = validate(
      OPT_SOCK_PATH | OPT_PID_FILE | OPT_THREADS | OPT_MAX_ENTRY | OPT_LIFE,
      [&](daemon_settings *s) {
        strcpy(s->socket_path, (dir_ + "/new.sock").c_str());
        strcpy(s->pid_path, (dir_ + "/new.pid").c_str());
        s->threads = 7;
        s->max_entries = 10;
        s->life_time = 5000;
      },
      &effective);
  EXPECT_EQ("Invalid cache capacity count (10). Min 50, Max 1024", message);
  EXPECT_EQ(dir_ + "/new.sock", effective.socket_path);
  EXPECT_EQ(dir_ + "/new.pid", effective.pid_path);
  EXPECT_EQ(7, effective.threads);
  EXPECT_EQ(DEFAULT_MAX_ENTRIES, effective.max_entries);
  EXPECT_EQ(DEFAULT_LIFE_TIME, effective.life_time);

  // Without flags nothing is tested, not even the cleared values.
  EXPECT_EQ("", validate(
                    0, [](daemon_settings *) {}, &effective));
  EXPECT_EQ(DEFAULT_THREADS, effective.threads);
}

TEST_F(SettingsTest, ValidateRefusesNullArguments) {
  daemon_settings settings;
  settings_set_defaults(&settings);
  char message[SETTINGS_MESSAGE_MAX] = "unchanged";
  EXPECT_EQ(-1, settings_validate(&settings, &settings, 0, nullptr));
  EXPECT_EQ(-1, settings_validate(nullptr, &settings, 0, message));
  EXPECT_STREQ("Invalid NULL arguments", message);
  strcpy(message, "unchanged");
  EXPECT_EQ(-1, settings_validate(&settings, nullptr, 0, message));
  EXPECT_STREQ("Invalid NULL arguments", message);
}

constexpr char all_keys[] =
    "[vrell]\n"
    "QXVrellSocket = /run/a.sock\n"
    "QXVrellPid = \"/run/a.pid\"\n"
    "service threads = 12\n"
    "cache max entry = 500\n"
    "entry life time = 60\n";

TEST_F(SettingsTest, LoadTakesEveryKeyOfTheFile) {
  daemon_settings settings;
  settings_clear(&settings);
  EXPECT_EQ(0, settings_load(write_conf(all_keys).c_str(), &settings));
  EXPECT_STREQ("", settings_last_error());
  EXPECT_STREQ("/run/a.sock", settings.socket_path);
  EXPECT_STREQ("/run/a.pid", settings.pid_path);
  EXPECT_EQ(12, settings.threads);
  EXPECT_EQ(500u, settings.max_entries);
  EXPECT_EQ(60u, settings.life_time);

  // File values are not range-tested: threads keeps its low 8 bits without a warning, a word
  // reads as 0, and a long path keeps its first 255 characters.
  const std::string long_path = "/" + std::string(299, 'q');
  EXPECT_EQ(0, settings_load(write_conf("[vrell]\nQXVrellSocket = " + long_path +
                                        "\nQXVrellPid = /p\nservice threads = 300\n"
                                        "cache max entry = many\nentry life time = 99999\n")
                                 .c_str(),
                             &settings));
  EXPECT_STREQ("", settings_last_error());
  EXPECT_EQ(long_path.substr(0, 255), settings.socket_path);
  EXPECT_EQ(44, settings.threads);
  EXPECT_EQ(0u, settings.max_entries);
  EXPECT_EQ(99999u, settings.life_time);
}

TEST_F(SettingsTest, LoadKeepsDefaultsForMissingKeysAndNamesTheLast) {
  struct row {
    std::string text;
    const char *last_missing;
    const char *socket_path;
    uint8_t threads;
    uint32_t max_entries;
  };
  const std::vector<row> rows = {
      {"[vrell]\n", "vrell:entry life time", DEFAULT_SOCKET_PATH, DEFAULT_THREADS,
       DEFAULT_MAX_ENTRIES},
      {"[vrell]\nQXVrellPid = /p\ncache max entry = 60\nentry life time = 5\n",
       "vrell:service threads", DEFAULT_SOCKET_PATH, DEFAULT_THREADS, 60},
      {"[vrell]\nQXVrellSocket = /s\nQXVrellPid = /p\nservice threads = 6\n"
       "cache max entry = -1\nentry life time = 5\n",
       "vrell:cache max entry", "/s", 6, DEFAULT_MAX_ENTRIES},
      {"[other]\nQXVrellPid = /p\nservice threads = 6\ncache max entry = 60\n"
       "[vrell]\nQXVrellSocket = /s\n",
       "vrell:entry life time", "/s", DEFAULT_THREADS, DEFAULT_MAX_ENTRIES},
      {"", "vrell:entry life time", DEFAULT_SOCKET_PATH, DEFAULT_THREADS, DEFAULT_MAX_ENTRIES},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.text);
    daemon_settings settings;
    settings_clear(&settings);
    EXPECT_EQ(1, settings_load(write_conf(r.text).c_str(), &settings));
    EXPECT_EQ(std::string("'") + r.last_missing + "' Configuration missing. using default",
              settings_last_error());
    EXPECT_EQ(1, settings_last_status());
    EXPECT_STREQ(r.socket_path, settings.socket_path);
    EXPECT_EQ(r.threads, settings.threads);
    EXPECT_EQ(r.max_entries, settings.max_entries);
  }
}

TEST_F(SettingsTest, LoadFailures) {
  daemon_settings settings;
  memset(&settings, 0x5a, sizeof settings);
  const std::string missing = dir_ + "/absent.ini";
  EXPECT_EQ(-1, settings_load(missing.c_str(), &settings));
  EXPECT_EQ("Can not read conf file (" + missing + ")", settings_last_error());
  EXPECT_EQ(-1, settings_last_status());
  EXPECT_STREQ(DEFAULT_SOCKET_PATH, settings.socket_path);  // defaults even on failure
  EXPECT_EQ(DEFAULT_LIFE_TIME, settings.life_time);

  EXPECT_EQ(-1, settings_load(nullptr, &settings));
  EXPECT_STREQ("Invalid null parameters", settings_last_error());
  EXPECT_EQ(-1, settings_load(missing.c_str(), nullptr));
  EXPECT_STREQ("Invalid null parameters", settings_last_error());
}

TEST_F(SettingsTest, SaveWritesAllFiveKeysAndKeepsTheRest) {
  const std::string path = write_conf(
      "# vrell settings\n"
      "#*END\n"
      "[other]\n"
      "colour = blue\n"
      "[vrell]\n"
      "service threads = 4\n"
      "extra key = kept\n");
  daemon_settings settings;
  EXPECT_EQ(1, settings_load(path.c_str(), &settings));
  settings.threads = 7;
  settings.life_time = 3600;
  EXPECT_EQ(0, settings_save(path.c_str(), &settings));
  EXPECT_EQ(0, settings_last_status());
  EXPECT_STREQ("", settings_last_error());

  const std::string text = read_file(path);
  EXPECT_EQ(0u, text.find("# vrell settings\n#*END\n")) << text;
  EXPECT_NE(std::string::npos, text.find("[other]\n    colour = \"blue\"\n")) << text;
  EXPECT_NE(std::string::npos, text.find("    extra key = \"kept\"\n")) << text;
  EXPECT_NE(std::string::npos,
            text.find("    QXVrellSocket = \"" + std::string(DEFAULT_SOCKET_PATH)))
      << text;
  EXPECT_NE(std::string::npos, text.find("    service threads = \"7\"\n")) << text;
  EXPECT_NE(std::string::npos, text.find("    cache max entry = \"100\"\n")) << text;
  EXPECT_NE(std::string::npos, text.find("    entry life time = \"3600\"\n")) << text;

  daemon_settings reloaded;
  EXPECT_EQ(0, settings_load(path.c_str(), &reloaded));
  EXPECT_STREQ(settings.socket_path, reloaded.socket_path);
  EXPECT_STREQ(settings.pid_path, reloaded.pid_path);
  EXPECT_EQ(7, reloaded.threads);
  EXPECT_EQ(DEFAULT_MAX_ENTRIES, reloaded.max_entries);
  EXPECT_EQ(3600u, reloaded.life_time);
}

TEST_F(SettingsTest, SaveFailures) {
  daemon_settings settings;
  settings_set_defaults(&settings);
  const std::string missing = dir_ + "/none/vrell.ini";
  EXPECT_EQ(-1, settings_save(missing.c_str(), &settings));
  EXPECT_EQ("Can not write conf file (" + missing + ")", settings_last_error());
  EXPECT_EQ(-1, settings_last_status());
  EXPECT_FALSE(std::filesystem::exists(missing));

  EXPECT_EQ(-1, settings_save(nullptr, &settings));
  EXPECT_STREQ("Invalid null parameters", settings_last_error());
  EXPECT_EQ(-1, settings_save(write_conf(all_keys).c_str(), nullptr));
  EXPECT_EQ(all_keys, read_file(dir_ + "/vrell.ini"));

  // A file whose reading a line beginning with 0x1A ended is not written either; its values
  // before that line are read as always.
  const std::string stopped = std::string(all_keys) + "\x1a\n[other]\ncolour = blue\n";
  const std::string stopped_path = write_conf(stopped);
  daemon_settings read_values;
  EXPECT_EQ(0, settings_load(stopped_path.c_str(), &read_values));
  EXPECT_EQ(-1, settings_save(stopped_path.c_str(), &read_values));
  EXPECT_EQ("Can not read conf file (" + stopped_path + ")", settings_last_error());
  EXPECT_EQ(stopped, read_file(stopped_path));

  // What cannot be read is never written: a directory, and a file its user may only write.
  const std::string sub = dir_ + "/sub";
  EXPECT_EQ(-1, settings_save(sub.c_str(), &settings));
  EXPECT_EQ("Can not read conf file (" + sub + ")", settings_last_error());
  EXPECT_TRUE(std::filesystem::is_directory(sub));
  EXPECT_TRUE(std::filesystem::is_empty(sub));

  const std::string write_only = write_conf(all_keys);
  ASSERT_EQ(0, chmod(write_only.c_str(), 0200));
  int result;
  if (geteuid() != 0) {
    result = settings_save(write_only.c_str(), &settings);
  } else {
    // Root reads every file, so an unprivileged child makes the save, in a directory where it
    // could replace the file.
    ASSERT_EQ(0, chmod(dir_.c_str(), 0777));
    ASSERT_EQ(0, chown(write_only.c_str(), kNobody, kNobody));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
      _exit(settings_save(write_only.c_str(), &settings) == -1 ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(2, WEXITSTATUS(status)) << "cannot become an unprivileged user";
    result = WEXITSTATUS(status) == 1 ? -1 : 0;
  }
  EXPECT_EQ(-1, result);
  ASSERT_EQ(0, chmod(write_only.c_str(), 0600));
  EXPECT_EQ(all_keys, read_file(write_only));
}

}  // namespace
