// SPDX-License-Identifier: BSD-2-Clause
#include "config/ini.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/file.h"
#include "config/symtab.h"
#include "config/tagmem.h"
#include "config/temp_file.h"
#include "fixtures.h"

namespace {

using entries = std::map<std::string, std::string>;

// The unprivileged user (and group) that root's tests switch to.
constexpr uid_t kNobody = 65534;
// Exit status of a child that could not set up what its case needs (user, mount).
constexpr int kChildCannot = 77;

// Tags of the entries of a POSIX ACL, as the kernel stores them in system.posix_acl_*.
constexpr uint16_t kAclUserObj = 0x01, kAclUser = 0x02, kAclGroupObj = 0x04, kAclMask = 0x10,
                   kAclOther = 0x20;
constexpr uint32_t kAclNoId = 0xFFFFFFFF;
struct acl_entry {
  uint16_t tag, perm;
  uint32_t id;
};

// The bytes of an ACL as system.posix_acl_access holds them: version 2, then each entry, all
// little-endian.
std::string acl_bytes(std::initializer_list<acl_entry> acl) {
  std::string bytes;
  auto put = [&bytes](uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes += char((value >> (8 * i)) & 0xFF);
  };
  put(2, 4);
  for (const acl_entry &e : acl) {
    put(e.tag, 2);
    put(e.perm, 2);
    put(e.id, 4);
  }
  return bytes;
}

// Every extended attribute of path that this process can read, by name.
entries attributes_of(const std::string &path) {
  entries result;
  char names[4096];
  ssize_t length = listxattr(path.c_str(), names, sizeof names);
  for (ssize_t at = 0; at < length; at += ssize_t(strlen(names + at)) + 1) {
    char value[4096];
    ssize_t size = getxattr(path.c_str(), names + at, value, sizeof value);
    result[names + at] = size >= 0 ? std::string(value, size_t(size)) : "<unreadable>";
  }
  return result;
}

bool set_attribute(const std::string &path, const char *name, const std::string &value) {
  return setxattr(path.c_str(), name, value.data(), value.size(), 0) == 0;
}

ino_t inode_of(const std::string &path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// Runs body in a child process and returns what it returned as the child's exit status, or -1
// when the child did not exit.
template <typename Body>
int run_child(Body body) {
  pid_t child = fork();
  if (child == 0) _exit(body());
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// What the test hook makes the save's rename fail with.
int rename_error;
int failing_rename(const char *, const char *) {
  errno = rename_error;
  return -1;
}

class IniTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ini_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (symbol_table *table : tables_) symtab_free(table);
    ASSERT_EQ(system(("chattr -R -i " + dir_ + " 2>/dev/null; rm -rf " + dir_).c_str()) >= 0, true);
  }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  void write(const std::string &name, const std::string &content) {
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out << content;
    ASSERT_TRUE(out.good());
  }

  std::string read(const std::string &name) const {
    std::ifstream in(path(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  symbol_table *keep(symbol_table *table) {
    if (table != nullptr) tables_.push_back(table);
    return table;
  }

  // Loads content as a file of its own into a new table.
  symbol_table *load(const std::string &content, const std::string &name = "conf.ini") {
    write(name, content);
    return keep(ini_load(nullptr, path(name).c_str()));
  }

  // The table without the file entries, as a map.
  static entries contents(symbol_table *table) {
    entries result;
    for (symbol *sym = table->symbols; sym != nullptr; sym = sym->next) {
      std::string name = sym->name;
      if (name == INI_FILE_NAME || name == INI_FILE_DATE || name == INI_FILE_TIME) continue;
      result[name] = sym->value != nullptr ? sym->value : "<null>";
    }
    return result;
  }

  static std::vector<std::string> names_in_order(symbol_table *table) {
    std::vector<std::string> names;
    for (symbol *sym = table->symbols; sym != nullptr; sym = sym->next) names.push_back(sym->name);
    return names;
  }

  std::vector<std::string> files_in_dir(const std::string &directory) const {
    std::vector<std::string> names;
    DIR *d = opendir(directory.c_str());
    if (d == nullptr) return names;
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  symbol_table *table_of(const entries &values) {
    symbol_table *table = keep(symtab_new(nullptr, 0));
    for (const auto &[name, value] : values)
      symtab_put(table, name.c_str(), value.c_str(), nullptr, 0);
    return table;
  }

  std::string dir_;
  std::vector<symbol_table *> tables_;
};

TEST_F(IniTest, KeyValueLinesOfOneSection) {
  struct line_case {
    const char *line;
    const char *name;  // null: nothing stored
    const char *value;
  };
  const line_case cases[] = {
      {"  key  =   value  ; note", "s:key", "value"},
      {"key = \"a;b#c\" ; note", "s:key", "a;b#c"},
      {"key = \"line1\\nline2\"", "s:key", "line1\nline2"},
      {"key = \"\\(x\\\\y\"", "s:key", "(x\\y"},
      {"key = \"a\\\"b\" tail", "s:key", "a\"b"},
      {"key = \"abc", "s:key", "ab"},
      {"key = \"\"", "s:key", ""},
      {"key = \"", "s:key", ""},
      {"key = abc-", "s:key", "abc-"},
      {"key = v#c;d", "s:key", "v"},
      {"key = v;c#d", "s:key", "v"},
      {"k = a\tb", "s:k", "a   b"},
      {"Key Name=Value Text", "s:Key Name", "Value Text"},
      {"[a=b]", "s:[a", "b]"},
      {"= v", "s:", "v"},
      {"key =", "s:key", ""},
      {"; key = 1", nullptr, nullptr},
      {"   # key = 1", nullptr, nullptr},
      {"!key = 1", nullptr, nullptr},
      {"no equals sign", nullptr, nullptr},
      // The escape at the very end escapes nothing; reading on would pass the end.
      {"key = \"ab\\", "s:key", "a"},
  };
  for (const line_case &c : cases) {
    SCOPED_TRACE(c.line);
    symbol_table *table = load(std::string("[s]\n") + c.line + "\n");
    entries expected = {{"s", ""}};
    if (c.name != nullptr) expected[c.name] = c.value;
    EXPECT_EQ(contents(table), expected);
  }
}

TEST_F(IniTest, QuotedValuesContinueOnLinesEndingInDash) {
  symbol_table *table = load(
      "[s]\n"
      "a = \"abc-\n"
      "  def-\n"
      "ghi\" ; note\n"
      "b = \"one\" ; ends in -\n"
      "two = 2\n"
      "c = \"tail-");
  EXPECT_EQ(contents(table),
            (entries{{"s", ""}, {"s:a", "abc  defghi"}, {"s:b", "one"}, {"s:c", "tai"}}));
}

TEST_F(IniTest, SectionHeaders) {
  symbol_table *table = load(
      "before = ignored\n"
      "[ vrell ]\n"
      "a = 1\n"
      "[vrell\n"
      "b = 2\n"
      "[]\n"
      "c = 3\n"
      "[]x\n"
      "d = 4\n"
      "[t] trailing text\n"
      "e = 5\n"
      "e = 6\n"
      "[vrell]\n"
      "f = 7\n"
      "[t]\n"
      "g = 8\n");
  EXPECT_EQ(contents(table), (entries{{" vrell ", ""},
                                      {" vrell :a", "1"},
                                      {"vrell", ""},
                                      {"vrell:b", "2"},
                                      {"vrell:f", "7"},
                                      {"", ""},
                                      {":c", "3"},
                                      {":d", "4"},
                                      {"t", ""},
                                      {"t:e", "6"},
                                      {"t:g", "8"}}));
  EXPECT_EQ(symtab_find(table, "vrell:a"), nullptr);
}

TEST_F(IniTest, TableComesBackSorted) {
  symbol_table *table = load("[ab]\nc=1\n[a-b]\nc=2\n[a]\nz=3\n");
  EXPECT_EQ(names_in_order(table),
            (std::vector<std::string>{"a", "a:z", "a-b", "a-b:c", "ab", "ab:c", "filedate",
                                      "filename", "filetime"}));
}

TEST_F(IniTest, EnvironmentReferences) {
  saved_env upper("VRELL_INI_REF");
  saved_env lower("vrell_ini_lower");
  setenv("VRELL_INI_REF", "/root/x", 1);
  setenv("vrell_ini_lower", "low", 1);
  symbol_table *table = load(
      "[s]\n"
      "a = $(VRELL_INI_REF)/y\n"
      "b = [$(vrell_ini_ref)]\n"
      "c = [$(VRELL_INI_ABSENT_NAME)]\n"
      "d = $x and $(x\n"
      "e = $(VRELL_INI_LOWER)\n"
      "f = \"$\\(VRELL_INI_REF)\"\n"
      "g = \"q$(VRELL_INI_REF)\"\n");
  EXPECT_EQ(contents(table), (entries{{"s", ""},
                                      {"s:a", "/root/x/y"},
                                      {"s:b", "[]"},
                                      {"s:c", "[]"},
                                      {"s:d", "$x and $(x"},
                                      {"s:e", "low"},
                                      {"s:f", "$(VRELL_INI_REF)"},
                                      {"s:g", "q/root/x"}}));
}

TEST_F(IniTest, ComposedNameLongerThanALineIsSkipped) {
  std::string section(600, 's');
  std::string long_key(600, 'k');
  symbol_table *table = load("[" + section + "]\n" + long_key + " = 1\nshort = 2\n");
  EXPECT_EQ(contents(table), (entries{{section, ""}, {section + ":short", "2"}}));
}

// A heap that refuses blocks of the size of a long line (a table is larger), so that only
// the expansion of a long value fails.
bool refused(size_t size) {
  return size >= 800 && size <= FILE_LINE_MAX + 1;
}
void *refusing_alloc(size_t size) {
  return refused(size) ? nullptr : malloc(size);
}
void *refusing_resize(void *block, size_t size) {
  return refused(size) ? nullptr : realloc(block, size);
}

TEST_F(IniTest, EntryWhoseExpansionRunsOutOfMemoryIsSkipped) {
  write("conf.ini", "[s]\nlong = " + std::string(900, 'x') + "\nshort = kept\n");
  tagmem_set_heap(refusing_alloc, refusing_resize);
  symbol_table *table = keep(ini_load(nullptr, path("conf.ini").c_str()));
  tagmem_set_heap(nullptr, nullptr);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(contents(table), (entries{{"s", ""}, {"s:short", "kept"}}));
}

TEST_F(IniTest, FileEntries) {
  symbol_table *table = load("[s]\nk = v\n");
  std::string name = path("conf.ini");
  time_t modified = file_mtime(name.c_str());
  EXPECT_STREQ(symtab_get_text(table, INI_FILE_NAME, nullptr), name.c_str());
  EXPECT_EQ(symtab_get_text(table, INI_FILE_DATE, ""), std::to_string(date_from_time(modified)));
  EXPECT_EQ(symtab_get_text(table, INI_FILE_TIME, ""), std::to_string(time_from_time(modified)));

  std::string absent = path("absent.ini");
  symbol_table *created = keep(ini_load(nullptr, absent.c_str()));
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->count, 3);
  EXPECT_STREQ(symtab_get_text(created, INI_FILE_NAME, nullptr), absent.c_str());
  EXPECT_STREQ(symtab_get_text(created, INI_FILE_DATE, nullptr), "0");
  EXPECT_STREQ(symtab_get_text(created, INI_FILE_TIME, nullptr), "0");

  symbol_table *given = table_of({{"x:y", "z"}});
  EXPECT_EQ(ini_load(given, absent.c_str()), given);
  EXPECT_EQ(given->count, 1);
  EXPECT_EQ(ini_load_if_found(given, absent.c_str()), nullptr);
  EXPECT_EQ(given->count, 1);
  EXPECT_EQ(ini_load_if_found(given, name.c_str()), given);
  EXPECT_EQ(contents(given), (entries{{"x:y", "z"}, {"s", ""}, {"s:k", "v"}}));
}

TEST_F(IniTest, MergeReadsThePathWithoutFileEntries) {
  write("more.ini", "[s]\nk = new\n");
  symbol_table *table = table_of({{"s:k", "old"}, {"s:j", "kept"}});
  EXPECT_EQ(ini_merge(table, path("more.ini").c_str()), table);
  EXPECT_EQ(contents(table), (entries{{"s", ""}, {"s:j", "kept"}, {"s:k", "new"}}));
  EXPECT_EQ(symtab_find(table, INI_FILE_NAME), nullptr);
  EXPECT_EQ(ini_merge(table, path("absent.ini").c_str()), table);
  EXPECT_EQ(table->count, 3);

  // The checked merge tells a file read whole from one that could not be read.
  EXPECT_TRUE(ini_merge_checked(table, path("more.ini").c_str()));
  EXPECT_FALSE(ini_merge_checked(table, path("absent.ini").c_str()));
  EXPECT_FALSE(ini_merge_checked(table, dir_.c_str()));
  EXPECT_EQ(table->count, 3);

  // A line beginning with 0x1A ends the reading: what follows it was not read, what precedes
  // it was. As the file's last byte it hides nothing.
  write("stopped.ini", "[s]\nk = before\n\x1a\n[t]\nj = after\n");
  symbol_table *stopped = table_of({});
  EXPECT_FALSE(ini_merge_checked(stopped, path("stopped.ini").c_str()));
  EXPECT_EQ(contents(stopped), (entries{{"s", ""}, {"s:k", "before"}}));
  write("ended.ini", "[s]\nk = last\n\x1a");
  EXPECT_TRUE(ini_merge_checked(stopped, path("ended.ini").c_str()));
  EXPECT_EQ(contents(stopped), (entries{{"s", ""}, {"s:k", "last"}}));
}

TEST_F(IniTest, SearchAlongPath) {
  saved_env saved_path("PATH");
  char *cwd = getcwd(nullptr, 0);
  ASSERT_NE(cwd, nullptr);
  ASSERT_EQ(mkdir(path("one").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path("two").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path("PATH").c_str(), 0755), 0);
  write("two/found.ini", "[s]\nwhere = two\n");
  write("PATH/found.ini", "[s]\nwhere = literal\n");
  write("found.ini", "[s]\nwhere = cwd\n");
  ASSERT_EQ(chdir(dir_.c_str()), 0);

  // With PATH set, the name is tried as given first, then each element.
  setenv("PATH", (path("one") + ":" + path("two")).c_str(), 1);
  symbol_table *direct = keep(ini_load(nullptr, "found.ini"));
  EXPECT_STREQ(symtab_get_text(direct, "s:where", nullptr), "cwd");
  EXPECT_STRNE(symtab_get_text(direct, INI_FILE_DATE, nullptr), "0");
  ASSERT_EQ(unlink(path("found.ini").c_str()), 0);
  symbol_table *searched = keep(ini_load(nullptr, "found.ini"));
  EXPECT_STREQ(symtab_get_text(searched, "s:where", nullptr), "two");
  EXPECT_STREQ(symtab_get_text(searched, INI_FILE_DATE, nullptr), "0");
  EXPECT_STREQ(symtab_get_text(searched, INI_FILE_TIME, nullptr), "0");

  // Without PATH the name as given still comes first, absolute or relative; the list is then
  // the literal text PATH.
  write("found.ini", "[s]\nwhere = cwd\n");
  unsetenv("PATH");
  for (const std::string &name : {std::string("found.ini"), path("found.ini")}) {
    symbol_table *given = keep(ini_load(nullptr, name.c_str()));
    EXPECT_STREQ(symtab_get_text(given, "s:where", nullptr), "cwd") << name;
  }
  ASSERT_EQ(unlink(path("found.ini").c_str()), 0);
  symbol_table *literal = keep(ini_load(nullptr, "found.ini"));
  EXPECT_STREQ(symtab_get_text(literal, "s:where", nullptr), "literal");

  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);
}

TEST_F(IniTest, ReadEntryAndFindSection) {
  write("entries.ini",
        "; comment\n"
        "[First]\n"
        "key = \"quoted\\n\" ; note\n"
        "  [a=b]\n"
        "[]\n"
        "[Second] x\n"
        "other=1\n");
  FILE *stream = file_open(path("entries.ini").c_str(), 'r');
  ASSERT_NE(stream, nullptr);
  char *name = nullptr;
  char *value = nullptr;
  EXPECT_FALSE(ini_read_entry(stream, &name, &value));
  EXPECT_STREQ(name, "First");
  EXPECT_EQ(value, nullptr);
  EXPECT_TRUE(ini_read_entry(stream, &name, &value));
  EXPECT_STREQ(name, "key");
  EXPECT_STREQ(value, "\"quoted\\n\"");
  EXPECT_TRUE(ini_read_entry(stream, &name, &value));
  EXPECT_STREQ(name, "[a");
  EXPECT_STREQ(value, "b]");
  EXPECT_FALSE(ini_read_entry(stream, &name, &value));
  EXPECT_STREQ(name, "");
  EXPECT_FALSE(ini_read_entry(stream, &name, &value));
  EXPECT_STREQ(name, "Second");
  EXPECT_TRUE(ini_read_entry(stream, &name, &value));
  EXPECT_FALSE(ini_read_entry(stream, &name, &value));
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(value, nullptr);

  // Headers match in any case; "[a=b]" is a header here, "[]" is not.
  EXPECT_TRUE(ini_find_section(stream, "second", true));
  EXPECT_TRUE(ini_read_entry(stream, &name, &value));
  EXPECT_STREQ(name, "other");
  EXPECT_FALSE(ini_find_section(stream, "first", false));
  EXPECT_TRUE(ini_find_section(stream, "FIRST", true));
  EXPECT_TRUE(ini_find_section(stream, "A=B", false));
  EXPECT_FALSE(ini_find_section(stream, "", true));
  EXPECT_FALSE(ini_find_section(stream, "Firs", true));
  file_close(stream);
}

TEST_F(IniTest, ChangedAndRefresh) {
  symbol_table *table = load("[s]\nk = old\n");
  EXPECT_FALSE(ini_changed(table));
  EXPECT_FALSE(ini_refresh(table));
  EXPECT_STREQ(symtab_get_text(table, "s:k", nullptr), "old");

  write("conf.ini", "[s]\nk = new\n");
  struct timeval later[2];
  gettimeofday(&later[0], nullptr);
  later[0].tv_sec += 2 * 86400;
  later[1] = later[0];
  ASSERT_EQ(utimes(path("conf.ini").c_str(), later), 0);
  EXPECT_TRUE(ini_changed(table));
  EXPECT_TRUE(ini_refresh(table));
  EXPECT_STREQ(symtab_get_text(table, "s:k", nullptr), "new");
  EXPECT_FALSE(ini_changed(table));

  symbol_table *plain = table_of({{"s:k", "v"}});
  EXPECT_FALSE(ini_changed(plain));
  EXPECT_FALSE(ini_refresh(plain));
  EXPECT_EQ(plain->count, 1);
}

TEST_F(IniTest, LookUpsBySectionAndKey) {
  symbol_table *table =
      load("[vrell]\nlist = a, b,,c  d\nmixed Case = 1\n[Vrell]\nupper = 2\n[lone]\n");
  EXPECT_STREQ(ini_get(table, "VRELL", "LIST", nullptr), "a, b,,c  d");
  EXPECT_STREQ(ini_get(table, "vrell", "mixed Case", "dflt"), "dflt");
  EXPECT_STREQ(ini_get(table, "Vrell", "upper", "dflt"), "dflt");
  EXPECT_STREQ(ini_get(table, "lone", nullptr, nullptr), "");
  EXPECT_STREQ(ini_get(table, "lone", "", nullptr), "");

  char **list = ini_get_list(table, "vrell", "list", "x");
  ASSERT_NE(list, nullptr);
  std::vector<std::string> words(list, list + wordlist_count(list));
  EXPECT_EQ(words, (std::vector<std::string>{"a", "b", "c", "d"}));
  wordlist_free(list);
  list = ini_get_list(table, "vrell", "absent", "p,q");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(wordlist_count(list), 2u);
  wordlist_free(list);
  list = ini_get_list(table, "vrell", "absent", nullptr);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(wordlist_count(list), 0u);
  wordlist_free(list);

  int32_t count = table->count;
  EXPECT_STREQ(ini_get_or_add(table, "vrell", "list", "x"), "a, b,,c  d");
  EXPECT_STREQ(ini_get_or_add(table, "NEW", "Key", "added"), "added");
  EXPECT_EQ(table->count, count + 1);
  EXPECT_STREQ(symtab_get_text(table, "new:key", nullptr), "added");
  EXPECT_EQ(ini_get_or_add(table, "other", "key", nullptr), nullptr);
  EXPECT_EQ(table->count, count + 1);

  // A name longer than a line is never found, nor added.
  std::string long_section(1100, 'v');
  EXPECT_STREQ(ini_get(table, long_section.c_str(), "k", "dflt"), "dflt");
  EXPECT_STREQ(ini_get_or_add(table, long_section.c_str(), "k", "dflt"), "dflt");
  EXPECT_EQ(table->count, count + 1);
}

TEST_F(IniTest, EnvironmentTableHasUpperCaseNames) {
  saved_env lower("vrell_ini_mixed");
  setenv("vrell_ini_mixed", "a=b", 1);
  symbol_table *env = keep(env_to_symtab());
  ASSERT_NE(env, nullptr);
  EXPECT_STREQ(symtab_get_text(env, "VRELL_INI_MIXED", nullptr), "a=b");
  EXPECT_EQ(symtab_find(env, "vrell_ini_mixed"), nullptr);
}

TEST_F(IniTest, TraceLinesOnlyWhileTracingIsOn) {
  FILE *trace = tmpfile();
  ASSERT_NE(trace, nullptr);
  trace_file = trace;
  load("[s]\n!  off %s%n\n");
  trace_state = 1;
  symbol_table *table = load("[s]\n!  on %s%n\na = 1\n");
  trace_state = 0;
  trace_file = nullptr;
  EXPECT_EQ(contents(table), (entries{{"s", ""}, {"s:a", "1"}}));
  rewind(trace);
  char line[256] = {};
  ASSERT_NE(fgets(line, sizeof line, trace), nullptr);
  int year, month, day, hour, minute, second, consumed = 0;
  ASSERT_EQ(sscanf(line, "%4d/%2d/%2d %2d:%2d:%2d: %n", &year, &month, &day, &hour, &minute,
                   &second, &consumed),
            6);
  EXPECT_GE(year, 2000);
  EXPECT_STREQ(line + consumed, "on %s%n\n");
  EXPECT_EQ(fgets(line, sizeof line, trace), nullptr);
  fclose(trace);
}

// Writer.

TEST_F(IniTest, SaveWritesTheLayout) {
  // The temporary file stands beside the file, so that the rename stays on its file system.
  saved_env tmpdir("TMPDIR");
  setenv("TMPDIR", path("missing").c_str(), 1);
  symbol_table *table =
      table_of({{"vrell:QXVrellSocket", "/tmp/s"}, {"vrell:service threads", "4"}});
  write("conf.ini", "; no marker here\n[vrell]\nold = 1\n");
  ASSERT_EQ(ini_save(table, path("conf.ini").c_str()), 0);
  EXPECT_EQ(read("conf.ini"),
            "#*END\n\n[vrell]\n    QXVrellSocket = \"/tmp/s\"\n    service threads = \"4\"\n");

  // Only names with ":" are written; a name with several colons splits at the last one, and
  // keys of the empty section stand right after the marker.
  symbol_table *mixed = table_of({{"filename", "x"},
                                  {"filedate", "1"},
                                  {"vrell", ""},
                                  {"a:b:c", "1"},
                                  {":early", "e"},
                                  {"a:b:d", "2"},
                                  {"z:k", "v"}});
  ASSERT_EQ(ini_save(mixed, path("new.ini").c_str()), 0);
  EXPECT_EQ(read("new.ini"),
            "#*END\n    early = \"e\"\n\n[a:b]\n    c = \"1\"\n    d = \"2\"\n\n[z]\n"
            "    k = \"v\"\n");
  symbol_table *back = keep(ini_load(nullptr, path("new.ini").c_str()));
  EXPECT_EQ(contents(back),
            (entries{{"a:b", ""}, {"a:b:c", "1"}, {"a:b:d", "2"}, {"z", ""}, {"z:k", "v"}}));

  symbol_table *empty = table_of({});
  ASSERT_EQ(ini_save(empty, path("empty.ini").c_str()), 0);
  EXPECT_EQ(read("empty.ini"), "#*END\n");
}

TEST_F(IniTest, SaveKeepsThePrologue) {
  symbol_table *table = table_of({{"s:k", "v"}});
  const std::string prologue = "; comment\n\n #*END\n#*END \n[s]\nk = hand\n";
  write("conf.ini", prologue + "#*END\n[old]\ngone = 1\n");
  ASSERT_EQ(ini_save(table, path("conf.ini").c_str()), 0);
  EXPECT_EQ(read("conf.ini"), prologue + "#*END\n\n[s]\n    k = \"v\"\n");

  write("first.ini", "#*END\n; below\n");
  ASSERT_EQ(ini_save(table, path("first.ini").c_str()), 0);
  EXPECT_EQ(read("first.ini"), "#*END\n\n[s]\n    k = \"v\"\n");

  // Tabs of the prologue have become spaces; a long line has been split.
  std::string long_line(1030, 'x');
  write("tabs.ini", "a\tb\n" + long_line + "\n#*END\n");
  ASSERT_EQ(ini_save(table, path("tabs.ini").c_str()), 0);
  EXPECT_EQ(read("tabs.ini"), "a       b\n" + long_line.substr(0, 1024) +
                                  "\nxxxxxx\n#*END\n\n[s]\n"
                                  "    k = \"v\"\n");
}

TEST_F(IniTest, PrologueEntriesStandTwiceAfterLoadAndSave) {
  symbol_table *table = load("[s]\nk = 1\n#*END\n");
  ASSERT_EQ(ini_save(table, path("conf.ini").c_str()), 0);
  EXPECT_EQ(read("conf.ini"), "[s]\nk = 1\n#*END\n\n[s]\n    k = \"1\"\n");
  std::string text = read("conf.ini");
  write("conf.ini", "[s]\nk = 2\n" + text.substr(text.find("#*END")));
  symbol_table *again = load(read("conf.ini"));
  EXPECT_STREQ(symtab_get_text(again, "s:k", nullptr), "1");
}

TEST_F(IniTest, LineEndingsFollowThePrologue) {
  struct ending_case {
    const char *old_file;
    const char *expected;
  };
  const ending_case cases[] = {
      {"one\ntwo\r\nthree\n#*END\n", "one\ntwo\r\nthree\r\n#*END\r\n\r\n[s]\r\n    k = \"v\"\r\n"},
      {"one\n#*END\r\n", "one\n#*END\n\n[s]\n    k = \"v\"\n"},
      {"#*END\r\n", "#*END\n\n[s]\n    k = \"v\"\n"},
      {"one\r\ntwo\r\n", "#*END\n\n[s]\n    k = \"v\"\n"},
      {"one\r\n#*END\r\nx\r\n", "one\r\n#*END\r\n\r\n[s]\r\n    k = \"v\"\r\n"},
  };
  for (const ending_case &c : cases) {
    SCOPED_TRACE(c.old_file);
    symbol_table *table = table_of({{"s:k", "v"}});
    write("conf.ini", c.old_file);
    ASSERT_EQ(ini_save(table, path("conf.ini").c_str()), 0);
    EXPECT_EQ(read("conf.ini"), c.expected);
  }
}

TEST_F(IniTest, RoundTrips) {
  saved_env home("VRELL_INI_HOME");
  setenv("VRELL_INI_HOME", "/home/x", 1);
  symbol_table *table = load(
      "; prologue\r\n"
      "#*END\n"
      "[vrell]\n"
      "QXVrellSocket = $(VRELL_INI_HOME)/sock\n"
      "quoted = \"a;b#c \\\"q\\\" back\\\\slash (paren\\n\"\n"
      "[ spaced ]\n"
      "k = \"$\\(VRELL_INI_HOME)\"\n"
      "empty = \"\"\n");
  symtab_put(table, "vrell:set", "new\nline \"q\" \\ ( $(VRELL_INI_HOME) end", nullptr, 0);
  ASSERT_EQ(ini_save(table, path("conf.ini").c_str()), 0);
  std::string first = read("conf.ini");
  symbol_table *again = keep(ini_load(nullptr, path("conf.ini").c_str()));
  EXPECT_EQ(contents(again), contents(table));
  EXPECT_STREQ(symtab_get_text(again, "vrell:set", nullptr),
               "new\nline \"q\" \\ ( $(VRELL_INI_HOME) end");
  ASSERT_NE(symtab_find(again, " spaced :k"), nullptr);
  EXPECT_STREQ(symtab_find(again, " spaced :k")->value, "$(VRELL_INI_HOME)");
  ASSERT_EQ(ini_save(again, path("conf.ini").c_str()), 0);
  EXPECT_EQ(read("conf.ini"), first);
}

// What the writer cannot express is lost on the way back: keys of the empty section stand
// before any header, and a section entry whose name holds ":" comes back as a key.
TEST_F(IniTest, EntriesTheReaderCannotReadBack) {
  symbol_table *table = load("[]\nlost = 1\n[a:b]\nc = deep\n");
  EXPECT_EQ(contents(table), (entries{{"", ""}, {":lost", "1"}, {"a:b", ""}, {"a:b:c", "deep"}}));
  ASSERT_EQ(ini_save(table, path("conf.ini").c_str()), 0);
  EXPECT_EQ(read("conf.ini"),
            "#*END\n    lost = \"1\"\n\n[a]\n    b = \"\"\n\n[a:b]\n    c = \"deep\"\n");
  symbol_table *again = keep(ini_load(nullptr, path("conf.ini").c_str()));
  EXPECT_EQ(contents(again), (entries{{"a", ""}, {"a:b", ""}, {"a:b:c", "deep"}}));
}

TEST_F(IniTest, OverlongLineIsWrittenWhole) {
  std::string value(1100, 'v');
  symbol_table *table = table_of({{"s:k", value}});
  ASSERT_EQ(ini_save(table, path("conf.ini").c_str()), 0);
  EXPECT_EQ(read("conf.ini"), "#*END\n\n[s]\n    k = \"" + value + "\"\n");
}

TEST_F(IniTest, SaveKeepsSymbolicAndHardLinks) {
  ASSERT_EQ(mkdir(path("real").c_str(), 0755), 0);
  write("real/conf.ini", "; kept\n#*END\n");
  ASSERT_EQ(chmod(path("real/conf.ini").c_str(), 0640), 0);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(path("real/conf.ini").c_str(), 1234, 4321), 0);
  }
  ASSERT_EQ(symlink("real/conf.ini", path("link.ini").c_str()), 0);
  symbol_table *table = table_of({{"s:k", "v"}});
  ASSERT_EQ(ini_save(table, path("link.ini").c_str()), 0);

  struct stat status;
  ASSERT_EQ(lstat(path("link.ini").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(read("real/conf.ini"), "; kept\n#*END\n\n[s]\n    k = \"v\"\n");
  ASSERT_EQ(stat(path("real/conf.ini").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 4321u);
  }
  EXPECT_EQ(files_in_dir(path("real")), std::vector<std::string>{"conf.ini"});

  // A file with a second name is rewritten in place, longer and then shorter, and both names
  // keep seeing the one file with its owner and mode.
  ASSERT_EQ(link(path("real/conf.ini").c_str(), path("hard.ini").c_str()), 0);
  ASSERT_EQ(stat(path("hard.ini").c_str(), &status), 0);
  const ino_t inode = status.st_ino;
  const std::string longer(3000, 'l');
  ASSERT_EQ(ini_save(table_of({{"s:k", longer}}), path("link.ini").c_str()), 0);
  EXPECT_EQ(read("hard.ini"), "; kept\n#*END\n\n[s]\n    k = \"" + longer + "\"\n");
  ASSERT_EQ(ini_save(table_of({{"s:k", "w"}}), path("hard.ini").c_str()), 0);
  EXPECT_EQ(read("real/conf.ini"), "; kept\n#*END\n\n[s]\n    k = \"w\"\n");
  ASSERT_EQ(stat(path("real/conf.ini").c_str(), &status), 0);
  EXPECT_EQ(status.st_ino, inode);
  EXPECT_EQ(status.st_nlink, 2u);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(status.st_uid, 1234u);
    EXPECT_EQ(status.st_gid, 4321u);
  }
  EXPECT_EQ(files_in_dir(path("real")), std::vector<std::string>{"conf.ini"});

  // A dangling link gets its file.
  ASSERT_EQ(symlink(path("real/made.ini").c_str(), path("dangling.ini").c_str()), 0);
  ASSERT_EQ(ini_save(table, path("dangling.ini").c_str()), 0);
  EXPECT_EQ(read("real/made.ini"), "#*END\n\n[s]\n    k = \"v\"\n");
  mode_t mask = umask(022);
  umask(mask);
  ASSERT_EQ(stat(path("real/made.ini").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0666 & ~mask);
  ASSERT_EQ(lstat(path("dangling.ini").c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

TEST_F(IniTest, FailedSaveLeavesTheOldFile) {
  symbol_table *table = table_of({{"s:k", "v"}});
  const std::string old = "; old\n#*END\n\n[s]\n    k = \"old\"\n";

  EXPECT_EQ(ini_save(table, path("missing/conf.ini").c_str()), -1);
  EXPECT_FALSE(file_exists(path("missing").c_str()));

  ASSERT_EQ(mkdir(path("target").c_str(), 0755), 0);
  EXPECT_EQ(ini_save(table, path("target").c_str()), -1);
  EXPECT_TRUE(file_is_directory(path("target").c_str()));
  EXPECT_EQ(files_in_dir(dir_), std::vector<std::string>{"target"});

  // A write failure: the file-size limit stops the temporary file after a few bytes.
  write("conf.ini", old);
  symbol_table *big = table_of({{"s:k", std::string(5000, 'b')}});
  struct rlimit saved_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_limit), 0);
  struct rlimit small = saved_limit;
  small.rlim_cur = 1000;
  sighandler_t saved_handler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int result = ini_save(big, path("conf.ini").c_str());
  // In place, as a second name makes it: the limit stops the rewrite before its first byte.
  EXPECT_EQ(link(path("conf.ini").c_str(), path("second.ini").c_str()), 0);
  int in_place = ini_save(big, path("conf.ini").c_str());
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved_limit), 0);
  signal(SIGXFSZ, saved_handler);
  ASSERT_EQ(unlink(path("second.ini").c_str()), 0);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(in_place, -1);
  EXPECT_EQ(read("conf.ini"), old);
  EXPECT_EQ(files_in_dir(dir_), (std::vector<std::string>{"conf.ini", "target"}));

  // A rename failure other than a busy or foreign target.
  const std::string target = path("conf.ini");
  rename_error = EIO;
  temp_file_set_rename(failing_rename);
  result = ini_save(table, target.c_str());
  temp_file_set_rename(nullptr);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(read("conf.ini"), old);
  EXPECT_EQ(files_in_dir(dir_), (std::vector<std::string>{"conf.ini", "target"}));

  // A line beginning with 0x1A hides the marker from the prologue's reader.
  const std::string hidden = "; a\n\x1a\n; b\n#*END\n";
  write("conf.ini", hidden);
  EXPECT_EQ(ini_save(table, target.c_str()), -1);
  EXPECT_EQ(read("conf.ini"), hidden);
  EXPECT_EQ(files_in_dir(dir_), (std::vector<std::string>{"conf.ini", "target"}));
}

TEST_F(IniTest, SaveCarriesExtendedAttributesAndTheExactMode) {
  symbol_table *table = table_of({{"s:k", "v"}});
  const std::string saved = "; kept\n#*END\n\n[s]\n    k = \"v\"\n";
  const std::string conf = path("conf.ini");
  write("conf.ini", "; kept\n#*END\n");
  // The owning group may read and user 1234 may write, so the mode's group bits show the
  // ACL's mask, not what the owning group may do.
  const std::string acl = acl_bytes({{kAclUserObj, 6, kAclNoId},
                                     {kAclUser, 6, 1234},
                                     {kAclGroupObj, 4, kAclNoId},
                                     {kAclMask, 6, kAclNoId},
                                     {kAclOther, 0, kAclNoId}});
  if (!set_attribute(conf, "system.posix_acl_access", acl)) {
    GTEST_SKIP() << "no POSIX ACLs on " << dir_ << ": " << strerror(errno);
  }
  ASSERT_EQ(chmod(conf.c_str(), 02660), 0);
  const bool user_attributes = set_attribute(conf, "user.origin", "site");
  if (geteuid() == 0) {
    EXPECT_TRUE(set_attribute(conf, "trusted.origin", "root's"));
  }
  const entries attributes = attributes_of(conf);
  ASSERT_EQ(attributes.count("system.posix_acl_access"), 1u);
  struct stat before, after;
  ASSERT_EQ(stat(conf.c_str(), &before), 0);
  ASSERT_EQ(ini_save(table, conf.c_str()), 0);
  EXPECT_EQ(read("conf.ini"), saved);
  ASSERT_EQ(stat(conf.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "not saved through a new file";
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(attributes_of(conf), attributes);
  EXPECT_EQ(files_in_dir(dir_), std::vector<std::string>{"conf.ini"});

  // A directory's default ACL gives the new file an ACL of its own, which the old file had not.
  ASSERT_EQ(mkdir(path("inherit").c_str(), 0755), 0);
  const std::string plain = path("inherit/conf.ini");
  write("inherit/conf.ini", "#*END\n");
  ASSERT_EQ(chmod(plain.c_str(), 0640), 0);
  ASSERT_TRUE(set_attribute(path("inherit"), "system.posix_acl_default",
                            acl_bytes({{kAclUserObj, 7, kAclNoId},
                                       {kAclUser, 7, 1234},
                                       {kAclGroupObj, 5, kAclNoId},
                                       {kAclMask, 7, kAclNoId},
                                       {kAclOther, 5, kAclNoId}})));
  const entries none = attributes_of(plain);
  ASSERT_EQ(ini_save(table, plain.c_str()), 0);
  EXPECT_EQ(attributes_of(plain), none);
  ASSERT_EQ(stat(plain.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);

  if (geteuid() != 0) {
    if (!user_attributes) GTEST_SKIP() << "user attributes not supported on " << dir_;
    return;
  }
  // An attribute that the saving user may not set (security.* wants CAP_SYS_ADMIN) keeps the
  // file's own inode: it is rewritten in place, attribute and all.
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path("nobody").c_str(), 0755), 0);
  ASSERT_EQ(chown(path("nobody").c_str(), kNobody, kNobody), 0);
  const std::string labelled = path("nobody/conf.ini");
  write("nobody/conf.ini", "; kept\n#*END\n");
  ASSERT_EQ(chown(labelled.c_str(), kNobody, kNobody), 0);
  if (!set_attribute(labelled, "security.vrell", "label")) {
    GTEST_SKIP() << "security attributes cannot be set on " << dir_ << ": " << strerror(errno);
  }
  const entries labels = attributes_of(labelled);
  const ino_t inode = inode_of(labelled);
  // Without a security module the kernel lets an owner set security.* itself; the rename
  // route then carries the label, and only the content and the attributes can be checked.
  constexpr int kLabelAllowed = 2;
  int status = run_child([&] {
    if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
      return kChildCannot;
    }
    const std::string probe = path("nobody/probe");
    write("nobody/probe", "");
    const bool allowed = set_attribute(probe, "security.vrell", "label");
    unlink(probe.c_str());
    if (ini_save(table, labelled.c_str()) != 0) return 1;
    return allowed ? kLabelAllowed : 0;
  });
  if (status == kChildCannot) GTEST_SKIP() << "cannot become an unprivileged user";
  EXPECT_TRUE(status == 0 || status == kLabelAllowed) << status;
  EXPECT_EQ(read("nobody/conf.ini"), saved);
  if (status == 0) {
    EXPECT_EQ(inode_of(labelled), inode);
  }
  EXPECT_EQ(attributes_of(labelled), labels);
  EXPECT_EQ(files_in_dir(path("nobody")), std::vector<std::string>{"conf.ini"});
  if (!user_attributes) GTEST_SKIP() << "user attributes not supported on " << dir_;
}

// Runs in a child with a private mount namespace: mounts source on target, as a container is
// given its configuration file, and saves table there. Returns 0 when the save succeeded.
int save_onto_bind_mount(symbol_table *table, const std::string &source,
                         const std::string &target) {
  if (unshare(CLONE_NEWNS) != 0) return kChildCannot;
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kChildCannot;
  if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return kChildCannot;
  return ini_save(table, target.c_str()) == 0 ? 0 : 1;
}

TEST_F(IniTest, SaveOverAFileThatCannotBeRenamedOverRewritesItInPlace) {
  symbol_table *table = table_of({{"s:k", "v"}});
  const std::string old = "; old\n#*END\n", saved = old + "\n[s]\n    k = \"v\"\n";
  const std::string conf = path("conf.ini");
  for (int error : {EBUSY, EXDEV}) {
    SCOPED_TRACE(strerror(error));
    write("conf.ini", old);
    const ino_t inode = inode_of(conf);
    rename_error = error;
    temp_file_set_rename(failing_rename);
    int result = ini_save(table, conf.c_str());
    temp_file_set_rename(nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(read("conf.ini"), saved);
    EXPECT_EQ(inode_of(conf), inode);
    EXPECT_EQ(files_in_dir(dir_), std::vector<std::string>{"conf.ini"});
  }

  // A file of its own bind-mounted over another name; only where the test may mount.
  ASSERT_EQ(mkdir(path("host").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(path("container").c_str(), 0755), 0);
  write("host/vrell.ini", old);
  write("container/vrell.ini", "underneath\n");
  int status = run_child([&] {
    return save_onto_bind_mount(table, path("host/vrell.ini"), path("container/vrell.ini"));
  });
  if (status == kChildCannot) {
    GTEST_SKIP() << "no bind mount here: that needs root and a private mount namespace";
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(read("host/vrell.ini"), saved);
  EXPECT_EQ(read("container/vrell.ini"), "underneath\n");
  EXPECT_EQ(files_in_dir(path("container")), std::vector<std::string>{"vrell.ini"});
}

TEST_F(IniTest, FailedSaveOverAnImmutableFile) {
  symbol_table *table = table_of({{"s:k", "v"}});
  const std::string old = "; old\n#*END\n";
  write("conf.ini", old);
  if (system(("chattr +i " + path("conf.ini") + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr +i is not available on " << dir_;
  }
  EXPECT_EQ(ini_save(table, path("conf.ini").c_str()), -1);
  ASSERT_EQ(system(("chattr -i " + path("conf.ini")).c_str()), 0);
  EXPECT_EQ(read("conf.ini"), old);
  EXPECT_EQ(files_in_dir(dir_), std::vector<std::string>{"conf.ini"});
}

}  // namespace
